// The agent among the things a real Mac holds, with real processes on a
// virtual Mac: a stranger's stick, mounts that are not insertions, volumes the
// user cannot read, the user's own commands and a second agent while it runs,
// a Mac without prompt suppression, a child that fails, and a drive the user
// tells the Mac to forget.
#include "common/hex.h"
#include "common/sha256.h"
#include "crypto/manifest.h"
#include "platform/macsim/macsim_preferences.h"
#include "tests/e2e/agent_mac.h"
#include "tests/support/registry_fakes.h"

#include <csignal>
#include <unistd.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

const std::string agentService = "com.quorvel.ferrolatch.agent";
const json unlockFailedOK = {{"expect", "Could not unlock this Ferrolatch disk"}, {"button", "OK"}};
const json cancelSignIn = {{"expect", "Sign in to " + std::string(relyingPartyDomain)}, {"button", "Cancel"}};

class AgentRealWorld : public AgentMac {
protected:
    std::string registry() { return home + "/Library/Application Support/Ferrolatch/Drives"; }
    std::string preferencesFile() { return home + "/Library/Preferences/com.apple.APFSUserAgent.plist"; }
    std::string preferences() { return fs::exists(preferencesFile()) ? readTextFile(preferencesFile()) : ""; }
    std::size_t registryEntries()
    {
        if (!fs::exists(registry()))
            return 0;
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(registry()), fs::directory_iterator()));
    }

    std::optional<json> volumeWith(const std::string& key, const std::string& value)
    {
        json current = state();
        for (const json& volume : current["volumes"])
            if (volume[key] == value)
                return volume;
        return std::nullopt;
    }
    struct Formatted {
        std::string disk;
        json volume;
    };
    // A new disk formatted with one plain APFS volume of this name.
    Formatted plainDisk(const std::string& name, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> words {"disk", "add", "--media", name, "--size", "128m", "--bus", "USB"};
        words.insert(words.end(), extra.begin(), extra.end());
        std::string disk = mac.macsimOrThrow(words);
        disk.pop_back();
        RunResult erased = mac.tool("/usr/sbin/diskutil", {"eraseDisk", "APFS", name, "GPT", "/dev/" + disk});
        if (erased.status != 0)
            throw std::runtime_error("could not format " + disk + ": " + erased.err);
        std::optional<json> volume;
        json current = state();
        for (const json& candidate : current["volumes"])
            if (candidate["name"] == name && candidate["mounted"] == true)
                volume = candidate;
        return {disk, *volume};
    }
    RunResult unlockByHand(const std::string& device, const std::string& password)
    {
        std::string input = password + "\n";
        return mac.tool("/usr/sbin/diskutil", {"apfs", "unlockVolume", device, "-stdinpassphrase"}, &input);
    }
    std::string dataDevice() { return (*volumeNamed("PRIVATE"))["device"]; }
};

// A stranger's stick whose manifest names the user's plain backup volume, an
// internal encrypted volume, or a made-up one: the agent says so and changes
// nothing of the Mac. The backup still mounts when plugged in, the internal
// volume still unlocks, and nothing is registered, marked or guarded.
TEST_F(AgentRealWorld, AStrangersStickChangesNothingOnTheMac)
{
    Formatted backup = plainDisk("BACKUP");
    Formatted internal = plainDisk("MACDATA", {"--internal"});
    std::string password = "correct horse battery staple";
    std::string input = password + "\n";
    RunResult added = mac.tool("/usr/sbin/diskutil",
                               {"apfs", "addVolume", internal.volume["container"], "APFS", "Secrets", "-stdinpassphrase"},
                               &input);
    ASSERT_EQ(added.status, 0) << added.err;
    json secrets = *volumeWith("name", "Secrets");
    ASSERT_EQ(mac.tool("/usr/sbin/diskutil", {"apfs", "lockVolume", secrets["device"]}).status, 0);
    const std::string madeUp = "0DDBA11D-0000-4000-8000-000000000003";

    std::vector<std::string> sticks;
    for (const std::string& named : {backup.volume["uuid"].get<std::string>(), secrets["uuid"].get<std::string>(), madeUp}) {
        Formatted stick = plainDisk("FERROLATCH");
        std::ofstream(stick.volume["mountPoint"].get<std::string>() + "/ferrolatch.json")
            << encodeManifest(ferrolatch::testing::enrolledVolumeManifest(named, "PRIVATE"));
        mac.macsimOrThrow({"disk", "detach", stick.disk});
        sticks.push_back(stick.disk);
    }
    mac.macsimOrThrow({"disk", "detach", backup.disk});

    startAgent(json::array({unlockFailedOK, unlockFailedOK, unlockFailedOK}));
    for (const std::string& stick : sticks)
        mac.macsimOrThrow({"disk", "attach", stick});
    ASSERT_TRUE(alertsShown(3)) << systemLog();
    quietPeriod();

    ASSERT_EQ(alertMessages().size(), 3u);
    for (const json& line : shown()) {
        if (line["kind"] == "alert") {
            EXPECT_EQ(line["informative"],
                      "the manifest names a volume that is not an encrypted volume of its own Ferrolatch disk");
        }
    }
    EXPECT_EQ(registryEntries(), 0u);
    for (const std::string& uuid : {backup.volume["uuid"].get<std::string>(), secrets["uuid"].get<std::string>(), madeUp})
        EXPECT_EQ(preferences().find(uuid), std::string::npos) << uuid;
    EXPECT_EQ(children("mount-drive"), 0u);

    mac.macsimOrThrow({"disk", "attach", backup.disk});
    EXPECT_EQ((*volumeWith("name", "BACKUP"))["mounted"], true) << systemLog();
    RunResult unlocked = unlockByHand(secrets["device"], password);
    EXPECT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_TRUE(menuBarShows("Waiting for a Ferrolatch disk")) << menuBar();
    quit();
}

// One insertion, one unlock: the agent's own remount of the bootstrap and the
// child's mount of the data volume bring no second child and no second
// Finder window; two drives plugged in at once open once each.
TEST_F(AgentRealWorld, OneInsertionIsOneUnlockAndOneFinderWindowPerDrive)
{
    setUpDetachedDrive();
    addDisk("Kingston", "128m");
    std::string photosManifest = work + "/manifests/photos.json";
    RunResult second = initDrive("disk6", photosManifest, "PHOTOS");
    ASSERT_EQ(second.status, 0) << second.err;
    mac.macsimOrThrow({"disk", "detach", "disk6"});

    startAgent(json::array({signInAnswer, signInAnswer, signInAnswer}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    quietPeriod();
    EXPECT_EQ(children("mount-drive"), 1u);
    EXPECT_EQ(finderWindows(), 1u);

    // Out and in again together with a second drive.
    mac.macsimOrThrow({"disk", "detach", "disk4"});
    ASSERT_TRUE(menuBarShows("Waiting for a Ferrolatch disk")) << menuBar();
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    mac.macsimOrThrow({"disk", "attach", "disk6"});
    ASSERT_TRUE(eventually([&] {
        auto photos = volumeNamed("PHOTOS"), vault = volumeNamed("PRIVATE");
        return photos && vault && (*photos)["mounted"] == true && (*vault)["mounted"] == true;
    })) << systemLog();
    quietPeriod();
    EXPECT_EQ(children("mount-drive"), 3u);
    EXPECT_EQ(finderWindows(), 3u);
    EXPECT_EQ(alertMessages().size(), 3u); // three passkey sheets, no alert
    quit();
}

// A mounted volume the user may not look into does not stop the scan: the
// drive plugged in beside it opens.
TEST_F(AgentRealWorld, AVolumeTheUserCannotReadIsPassedOver)
{
    setUpDetachedDrive();
    plainDisk("SHUT");
    std::string shut = mac.sysroot() + "/Volumes/SHUT";
    // Closed to the user; root reads through modes, so for it the volume's
    // folder becomes a loop no path resolves through.
    fs::permissions(shut, fs::perms::none);
    if (::geteuid() == 0) {
        fs::permissions(shut, fs::perms(0755));
        fs::remove_all(shut);
        fs::create_directory_symlink("SHUT", shut);
    }
    startAgent(json::array({signInAnswer}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    EXPECT_EQ(alertMessages().size(), 1u);
    fs::remove(shut);
    quit();
}

// While the agent runs, the user's own commands unlock an enrolled volume:
// each asks the agent for its window, which closes when the command ends or
// dies. Without the window the guard refuses as before.
TEST_F(AgentRealWorld, TheUsersCommandsUnlockWhileTheAgentRuns)
{
    setUpDetachedDrive();
    std::string password = learnPassword(manifestPath);
    startAgent(json::array({cancelSignIn, unlockFailedOK}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(alertsShown(2)) << systemLog();
    ASSERT_TRUE((*volumeNamed("PRIVATE"))["locked"]);

    RunResult mounted = ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer}));
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out.rfind("DRIVE MOUNTED\n", 0), 0u) << mounted.out;
    ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);

    RunResult proved = ferrolatch({"native-unlock-volume", manifestPath}, json::array({signInAnswer}));
    EXPECT_EQ(proved.status, 0) << proved.err;
    EXPECT_EQ(proved.out.rfind("NATIVE USB UNLOCK PROOF PASSED\n", 0), 0u) << proved.out;

    std::string source = work + "/backup";
    fs::create_directories(source);
    std::ofstream(source + "/notes.txt") << "family notes\n";
    std::ofstream(work + "/backup.sha256") << hexString(sha256(std::string("family notes\n"))) << " *./notes.txt\n";
    RunResult restored =
        ferrolatch({"restore-drive", manifestPath, source, work + "/backup.sha256"}, json::array({signInAnswer}));
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);

    // Each window closed with its command: the guard holds the volume again.
    RunResult refused = unlockByHand(dataDevice(), password);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Ferrolatch handles this encrypted volume"), std::string::npos) << refused.err;

    // A command that dies takes its window with it.
    {
        LiveProcess asking(macsimExecutable(), {"channel", "ask", agentService, "explicit-unlock " + dataUUID},
                           mac.environment());
        ASSERT_TRUE(asking.readUntil("allowed\n")) << asking.output();
        RunResult allowed = unlockByHand(dataDevice(), password);
        EXPECT_EQ(allowed.status, 0) << allowed.err;
        ASSERT_EQ(mac.tool("/usr/sbin/diskutil", {"apfs", "lockVolume", dataDevice()}).status, 0);
        ::kill(asking.pid(), SIGKILL);
        std::string error;
        asking.wait(error);
    }
    EXPECT_TRUE(eventually([&] { return unlockByHand(dataDevice(), password).status == 1; }));
    quit();
}

// A second agent of the same user says so in one line and leaves the first
// one alone, which still opens a plugged-in drive.
TEST_F(AgentRealWorld, ASecondAgentLeavesTheFirstOneRunning)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer}));
    auto environment = mac.environment();
    environment["FERROLATCH_UI_SCRIPT"] = "[]";
    LiveProcess second(ferrolatchExecutable(), {}, environment);
    // One that stays would keep the test waiting for ever.
    if (!second.readUntil("\n"))
        ::kill(second.pid(), SIGKILL);
    std::string error;
    EXPECT_EQ(second.wait(error), 0) << error;
    EXPECT_EQ(second.output(), "Ferrolatch is already running in the menu bar.\n");
    EXPECT_EQ(error, "");
    EXPECT_NE(menuBar().find("ferrolatch-proof (pid " + std::to_string(agent->pid()) + ")"), std::string::npos);
    EXPECT_EQ(menuBar().find("ferrolatch-proof (pid " + std::to_string(second.pid()) + ")"), std::string::npos);

    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    EXPECT_EQ(alertMessages().size(), 1u);
    quit();
}

// On a Mac whose APFS agent lacks the per-volume suppression, a drive set up
// elsewhere is registered without the marker and opens as usual; once an
// update brings the capability, the agent notices and marks the volume.
TEST_F(AgentRealWorld, AMacWithoutPromptSuppressionStillOpensADrive)
{
    setUpDetachedDrive();
    // Set up on another Mac: nothing of it is registered or marked here.
    fs::remove_all(registry());
    fs::remove(preferencesFile());
    std::string agentFile = mac.sysroot() + "/System/Library/CoreServices/APFSUserAgent";
    std::string capable = readTextFile(agentFile);
    const std::string capability("No prompt required\0", 19);
    ASSERT_TRUE(capable.ends_with(capability));
    // Replaced whole, as an update replaces it: a running agent's executable
    // cannot be written to, and the update ends the old agent first.
    auto install = [&](const std::string& bytes) {
        mac.macsimOrThrow({"agent", "stop"});
        std::ofstream(agentFile + ".new", std::ios::binary) << bytes;
        fs::permissions(agentFile + ".new", fs::perms(0755));
        fs::rename(agentFile + ".new", agentFile);
    };
    install(capable.substr(0, capable.size() - capability.size()));

    startAgent(json::array({signInAnswer, signInAnswer}));
    EXPECT_TRUE(menuBarShows("macOS compatibility fallback required")) << menuBar();
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    EXPECT_EQ(alertMessages().size(), 1u);
    EXPECT_EQ(registryEntries(), 1u);
    EXPECT_EQ(preferences().find(dataUUID), std::string::npos);

    // Unknown to this Mac at its first insertion, the volume met the system's
    // own prompt once; from then on the guard's claim keeps it away.
    std::size_t prompts = state()["passwordPrompts"].size();
    mac.macsimOrThrow({"disk", "detach", "disk4"});
    ASSERT_TRUE(menuBarShows("macOS compatibility fallback required")) << menuBar();
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Mounted PRIVATE")) << menuBar() << systemLog();
    EXPECT_EQ(state()["passwordPrompts"].size(), prompts);
    EXPECT_EQ(alertMessages().size(), 2u);

    install(capable);
    EXPECT_TRUE(eventually([&] { return preferences().find(dataUUID) != std::string::npos; }))
        << systemLog() << menuBar() << preferences();
    quit();
}

// A child that fails says why: its own error line is the alert's text.
TEST_F(AgentRealWorld, AFailedChildSaysWhy)
{
    setUpDetachedDrive();
    mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "apfs unlockVolume", "--stderr",
                       "Could not find disk: disk5s2"});
    startAgent(json::array({signInAnswer, unlockFailedOK}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(alertsShown(2)) << systemLog();
    std::vector<json> alerts;
    for (const json& line : shown())
        if (line["kind"] == "alert" && line["message"] == "Could not unlock this Ferrolatch disk")
            alerts.push_back(line);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0]["informative"], "diskutil failed: Could not find disk: disk5s2");
    quit();
}

// Finder names the volume that is in use, which need not be the one chosen:
// here a document is open on the drive's hidden bootstrap volume.
TEST_F(AgentRealWorld, AnEjectRefusalNamesTheVolumeInUse)
{
    setUpDetachedDrive();
    startAgent(json::array({signInAnswer, json {{"expect", "Could not eject the Ferrolatch drive"}, {"button", "OK"}}}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(menuBarShows("Eject PRIVATE")) << menuBar() << systemLog();
    std::string bootstrap;
    for (const json& volume : volumesOf((*volumeNamed("PRIVATE"))["container"]))
        if (volume["name"] == "FERROLATCH")
            bootstrap = volume["mountPoint"];
    LiveProcess holder(macsimExecutable(), {"hold", bootstrap + "/README-FERROLATCH.txt"}, mac.environment());
    ASSERT_TRUE(holder.readUntil("holding "));
    RunResult chosen = mac.macsim({"menubar", "click", "Eject PRIVATE"});
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    ASSERT_TRUE(alertsShown(2));
    std::vector<json> refusals;
    for (const json& line : shown())
        if (line["kind"] == "alert" && line["message"] == "Could not eject the Ferrolatch drive")
            refusals.push_back(line);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0]["informative"],
              "The volume \u201CFERROLATCH\u201D can\u2019t be ejected because it\u2019s currently in use.");
    EXPECT_EQ((*volumeNamed("PRIVATE"))["mounted"], true);
    std::string error;
    EXPECT_EQ(holder.wait(error), 0) << error;
    quit();
}

// forget-drive takes a drive off the Mac: its registry entry and its marker
// go (the volume's other settings and every other marker stay), and the
// running agent stops guarding it at once. An unknown UUID is refused.
TEST_F(AgentRealWorld, ForgetDriveTakesTheDriveOffTheMac)
{
    setUpDetachedDrive();
    std::string password = learnPassword(manifestPath);
    const std::string other = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    {
        MacsimPreferences preferencesStore(home + "/Library/Preferences");
        // The volume's own entry gains a setting that is not Ferrolatch's.
        preferencesStore.setValue(dataUUID, PreferenceValue(PreferenceValue::Dictionary {
                                                {"DontUnlockVolume", PreferenceValue("2999-01-01 00:00:00")},
                                                {"LastMountedBy", PreferenceValue("casey")}}),
                                  "com.apple.APFSUserAgent");
        preferencesStore.setValue(other, PreferenceValue(PreferenceValue::Dictionary {
                                             {"DontUnlockVolume", PreferenceValue("2999-01-01 00:00:00")}}),
                                  "com.apple.APFSUserAgent");
        ASSERT_TRUE(preferencesStore.synchronize("com.apple.APFSUserAgent"));
    }
    startAgent(json::array({cancelSignIn, unlockFailedOK}));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    ASSERT_TRUE(alertsShown(2)) << systemLog();
    EXPECT_EQ(unlockByHand(dataDevice(), password).status, 1);

    RunResult unknown = ferrolatch({"forget-drive", other});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "ferrolatch-proof: no Ferrolatch drive with this volume UUID is registered on this Mac\n");

    RunResult forgotten = ferrolatch({"forget-drive", dataUUID});
    ASSERT_EQ(forgotten.status, 0) << forgotten.err;
    EXPECT_EQ(forgotten.out, "DRIVE FORGOTTEN\nVolume UUID: " + dataUUID + "\n");
    EXPECT_EQ(registryEntries(), 0u);
    MacsimPreferences preferencesStore(home + "/Library/Preferences");
    std::optional<PreferenceValue> mine = preferencesStore.copyValue(dataUUID, "com.apple.APFSUserAgent");
    ASSERT_TRUE(mine && mine->dictionary());
    EXPECT_EQ(*mine->dictionary(), (PreferenceValue::Dictionary {{"LastMountedBy", PreferenceValue("casey")}}));
    EXPECT_TRUE(preferencesStore.copyValue(other, "com.apple.APFSUserAgent"));

    RunResult unlocked;
    EXPECT_TRUE(eventually([&] { return (unlocked = unlockByHand(dataDevice(), password)).status == 0; }))
        << unlocked.err;
    EXPECT_EQ(ferrolatch({"forget-drive", dataUUID}).status, 1);
    quit();
}

}
