#include "platform/posix/linux_file_flags.h"
#include "tests/e2e/drive_test_support.h"

#include <sys/stat.h>
#include <sys/xattr.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
using namespace ferrolatch::e2e::drive;

namespace {

std::uint32_t emulatedFlags(const std::string& path)
{
    char text[32] = {};
    ssize_t length = getxattr(path.c_str(), emulated::fileFlagsAttribute, text, sizeof text - 1);
    return length > 0 ? static_cast<std::uint32_t>(std::stoul(std::string(text, static_cast<std::size_t>(length)))) : 0;
}

constexpr std::uint32_t hiddenAndImmutable = 0x8000 | 0x0002;

const std::string expectedReadme = "Ferrolatch encrypted drive\n"
                                   "\n"
                                   "Encrypted volume: PRIVATE\n"
                                   "Credential domain: "
    + std::string(relyingPartyDomain)
    + "\n"
      "\n"
      "Keep ferrolatch.json with this disk. It is not a password: it contains the\n"
      "passkey credential identifier, PRF salt, and an authenticated encrypted wrap\n"
      "of the APFS recovery password. The password itself is never stored here.\n"
      "\n"
      "Normal unlock: open Ferrolatch and approve the passkey prompt.\n"
      "Manual recovery: use the recovery password saved in Apple Passwords or on\n"
      "your optional offline recovery card. In Disk Utility, select\n"
      "PRIVATE, choose Mount or Unlock, and enter that password.";

}

TEST_F(DriveMac, InitDriveLaysDownTheDriveAndMountAndLockUseIt)
{
    addDisk();
    std::string manifestPath = work + "/manifests/private.json";
    RunResult initialised = initDrive("disk4", manifestPath);
    ASSERT_EQ(initialised.status, 0) << initialised.err;
    EXPECT_EQ(initialised.err, "");

    std::optional<json> data = volumeNamed("PRIVATE");
    ASSERT_TRUE(data);
    std::string uuid = (*data)["uuid"];
    EXPECT_EQ(initialised.out, "PASSKEY ENROLLED \u2014 erasing exact device /dev/disk4\n"
                               "NATIVE USB UNLOCK PROOF PASSED\n"
                               "AuthenticationServices mounted, verified, and re-locked the encrypted APFS volume.\n"
                               "PASSWORDS RECOVERY SAVE DEFERRED\n"
                               "OFFLINE RECOVERY CARD DEFERRED\n"
                               "DRIVE INITIALIZATION PASSED\n"
                               "Bootstrap volume: FERROLATCH\n"
                               "Encrypted data volume: PRIVATE ("
                                   + uuid + ")\nLocal recovery envelope: " + manifestPath + "\n");
    EXPECT_EQ(alertMessages(), (std::vector<std::string> {"Create a passkey for " + std::string(relyingPartyDomain),
                                                          "Sign in to " + std::string(relyingPartyDomain) + " with your passkey",
                                                          "Save a manual recovery password in Apple Passwords?",
                                                          "Create an offline recovery card?"}));

    // The drive: one container on disk4 with the bootstrap volume and the locked data volume.
    EXPECT_TRUE((*data)["encrypted"]);
    EXPECT_TRUE((*data)["locked"]);
    std::vector<json> volumes = volumesOf((*data)["container"]);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0]["name"], "FERROLATCH");
    EXPECT_FALSE(volumes[0]["encrypted"]);
    std::string bootstrap = volumes[0]["mountPoint"];
    EXPECT_EQ(bootstrap, mac.sysroot() + "/Volumes/FERROLATCH");

    json manifest = json::parse(readTextFile(manifestPath));
    EXPECT_EQ(manifest["version"], 1);
    EXPECT_EQ(manifest["relyingPartyID"], relyingPartyDomain);
    EXPECT_EQ(manifest["resourceKind"], "native-apfs-volume");
    EXPECT_EQ(manifest["volumeUUID"], uuid);
    EXPECT_EQ(manifest["volumeName"], "PRIVATE");
    EXPECT_FALSE(manifest.contains("imageName"));
    EXPECT_EQ(readTextFile(bootstrap + "/ferrolatch.json"), readTextFile(manifestPath));
    EXPECT_EQ(modeOf(bootstrap + "/ferrolatch.json"), 0444u);
    EXPECT_EQ(emulatedFlags(bootstrap + "/ferrolatch.json") & hiddenAndImmutable, hiddenAndImmutable);
    EXPECT_EQ(readTextFile(bootstrap + "/README-FERROLATCH.txt"), expectedReadme);
    EXPECT_TRUE(fs::exists(bootstrap + "/.VolumeIcon.icns"));

    std::string registry = home + "/Library/Application Support/Ferrolatch/Drives";
    EXPECT_EQ(modeOf(registry), 0700u);
    EXPECT_EQ(readTextFile(registry + "/" + uuid + ".json"), readTextFile(manifestPath));
    EXPECT_EQ(modeOf(registry + "/" + uuid + ".json"), 0600u);
    EXPECT_NE(readTextFile(home + "/Library/Preferences/com.apple.APFSUserAgent.plist").find(uuid), std::string::npos);

    // The exact erase and volume creation, the password on stdin only.
    std::vector<json> calls = audit();
    auto called = [&](const json& argv) {
        return std::count_if(calls.begin(), calls.end(), [&](const json& call) { return call["argv"] == argv; });
    };
    EXPECT_EQ(called({"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"}), 1);
    std::string container = (*data)["container"];
    json addVolume = {"apfs", "addVolume", container, "APFS", "PRIVATE", "-stdinpassphrase", "-passphraseHint",
                      "Ferrolatch passkey or recovery password"};
    for (const json& call : calls) {
        if (call["argv"] == addVolume) {
            EXPECT_TRUE(call["stdin"]);
        }
    }
    EXPECT_EQ(called(addVolume), 1);

    RunResult mounted = ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer}));
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    std::string mount = mac.sysroot() + "/Volumes/PRIVATE";
    EXPECT_EQ(mounted.out, "DRIVE MOUNTED\nMount point: " + mount + "\n");
    EXPECT_EQ(readTextFile(mount + "/.ferrolatch-proof"), std::string(proofMarkerText));
    EXPECT_TRUE(fs::exists(mount + "/.VolumeIcon.icns"));
    std::ofstream(mount + "/notes.txt") << "kept across locks";

    RunResult again = ferrolatch({"mount-drive", manifestPath});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "DRIVE ALREADY MOUNTED\nMount point: " + mount + "\n");
    EXPECT_TRUE(alertMessages().empty()) << "no passkey prompt for an unlocked volume";

    RunResult locked = ferrolatch({"lock-drive", manifestPath});
    ASSERT_EQ(locked.status, 0) << locked.err;
    EXPECT_EQ(locked.out, "DRIVE LOCKED\n");
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
    std::size_t callsBefore = audit().size();
    RunResult lockedAgain = ferrolatch({"lock-drive", manifestPath});
    ASSERT_EQ(lockedAgain.status, 0) << lockedAgain.err;
    EXPECT_EQ(lockedAgain.out, "DRIVE ALREADY LOCKED\n");
    std::vector<json> afterLock = audit();
    ASSERT_EQ(afterLock.size(), callsBefore + 1) << "only the inventory is read";
    EXPECT_EQ(afterLock.back()["argv"], json({"apfs", "list", "-plist"}));

    RunResult remounted = ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer}));
    ASSERT_EQ(remounted.status, 0) << remounted.err;
    EXPECT_EQ(readTextFile(mount + "/notes.txt"), "kept across locks");
    ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);
}

TEST_F(DriveMac, GeneratedPasswordNeverLeavesTheWrapTheVolumeAndTheCard)
{
    addDisk();
    std::string manifestPath = work + "/private.json";
    // Both recovery aids taken: the password passes the clipboard and the card.
    json script = json::array(
        {enrollAnswer, signInAnswer,
         {{"expect", "Save a manual recovery password"}, {"button", "Save in Passwords"}},
         {{"expect", "Step 1 of 5"}, {"button", "Next Field"}}, {{"expect", "Step 2 of 5"}, {"button", "Next Field"}},
         {{"expect", "Step 3 of 5"}, {"button", "Next Field"}}, {{"expect", "Step 4 of 5"}, {"button", "Next Field"}},
         {{"expect", "Step 5 of 5"}, {"button", "Finish and Clear Clipboard"}},
         {{"expect", "Create an offline recovery card?"}, {"button", "Create Recovery Card"}},
         {{"expect", "Offline Ferrolatch recovery key"}, {"button", "I Saved This Key"}},
         {{"expect", "Confirm your offline copy"},
          {"button", "Confirm"},
          {"fields", json::array({{{"fromPreviousLabel", {{"paragraph", 1}, {"withoutSpaces", true}, {"last", 8}}}}})}}});
    RunResult initialised = initDrive("disk4", manifestPath, "PRIVATE", script);
    ASSERT_EQ(initialised.status, 0) << initialised.err;
    EXPECT_NE(initialised.out.find("PASSWORDS RECOVERY SAVE COMPLETE \u2014 CLIPBOARD CLEARED\nOFFLINE RECOVERY CARD "
                                   "CONFIRMED\nDRIVE INITIALIZATION PASSED\n"),
              std::string::npos)
        << initialised.out;
    for (const json& line : shown()) {
        if (line["kind"] == "alert" && line["message"] == "Offline Ferrolatch recovery key") {
            EXPECT_TRUE(line["excludedFromCapture"]);
        }
    }

    ASSERT_EQ(ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer})).status, 0);
    ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);

    std::string password = learnPassword(manifestPath);
    ASSERT_EQ(password.size(), 43u);
    // It is the volume's password: the system tool opens the volume with it.
    std::string device = (*volumeNamed("PRIVATE"))["device"];
    std::string input = password + "\n";
    RunResult opened = mac.tool("/usr/sbin/diskutil", {"apfs", "unlockVolume", device, "-stdinpassphrase"}, &input);
    ASSERT_EQ(opened.status, 0) << opened.err;
    ASSERT_EQ(mac.tool("/usr/sbin/diskutil", {"apfs", "lockVolume", device}).status, 0);

    EXPECT_EQ(mac.macsimOrThrow({"audit"}).find(password), std::string::npos) << "in an argument vector";
    EXPECT_EQ(everything.find(password), std::string::npos) << "on stdout, stderr or in a transcript";
    EXPECT_EQ(sysrootFilesHolding(password), std::vector<std::string> {});
}

TEST_F(DriveMac, VolumeCommandsRefuseBeforeAnyPrompt)
{
    addDisk();
    std::string manifestPath = work + "/private.json";
    ASSERT_EQ(initDrive("disk4", manifestPath).status, 0);
    json manifest = json::parse(readTextFile(manifestPath));

    struct Case {
        std::string name;
        std::vector<std::string> command;
        json manifest;
        std::string error;
    };
    json lowerCase = manifest;
    std::string uuid = manifest["volumeUUID"];
    std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::tolower(c); });
    lowerCase["volumeUUID"] = uuid;
    json browser = manifest;
    browser["relyingPartyID"] = "localhost";
    browser["resourceKind"] = "apfs-volume";
    json bootstrap = manifest;
    bootstrap["volumeUUID"] = volumesOf((*volumeNamed("PRIVATE"))["container"])[0]["uuid"];

    const std::vector<Case> cases = {
        {"uuid in another letter case", {"mount-drive"}, lowerCase, "the native Ferrolatch APFS volume is not attached"},
        {"browser manifest", {"native-unlock-volume"}, browser,
         "manifest does not identify a native Ferrolatch APFS volume"},
        {"browser manifest locking", {"lock-drive"}, browser,
         "manifest does not identify a native Ferrolatch APFS volume"},
        {"unencrypted volume mounting", {"mount-drive"}, bootstrap, "the native Ferrolatch APFS volume is not encrypted"},
        {"unencrypted volume locking", {"lock-drive"}, bootstrap, "the native Ferrolatch APFS volume is not encrypted"},
        {"unencrypted volume proving", {"native-unlock-volume"}, bootstrap,
         "the native Ferrolatch APFS volume must be encrypted and locked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = work + "/case.json";
        std::ofstream(path, std::ios::trunc) << c.manifest.dump(2);
        std::vector<std::string> command = c.command;
        command.push_back(path);
        RunResult refused = ferrolatch(command);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, "ferrolatch-proof: " + c.error + "\n");
        EXPECT_TRUE(alertMessages().empty());
    }

    // Unlocked: the proof refuses before a prompt; once unplugged, nothing is attached.
    ASSERT_EQ(ferrolatch({"mount-drive", manifestPath}, json::array({signInAnswer})).status, 0);
    RunResult proving = ferrolatch({"native-unlock-volume", manifestPath});
    EXPECT_EQ(proving.err, "ferrolatch-proof: the native Ferrolatch APFS volume must be encrypted and locked\n");
    EXPECT_TRUE(alertMessages().empty());
    ASSERT_EQ(ferrolatch({"lock-drive", manifestPath}).status, 0);
    mac.macsimOrThrow({"disk", "detach", "disk4"});
    for (const char* command : {"native-unlock-volume", "mount-drive", "lock-drive"}) {
        RunResult absent = ferrolatch({command, manifestPath});
        EXPECT_EQ(absent.err, "ferrolatch-proof: the native Ferrolatch APFS volume is not attached\n") << command;
        EXPECT_TRUE(alertMessages().empty());
    }
}

TEST_F(DriveMac, ProofLocksAgainWhenTheUnlockedVolumeDoesNotMount)
{
    addDisk();
    std::string manifestPath = work + "/private.json";
    ASSERT_EQ(initDrive("disk4", manifestPath).status, 0);
    std::string device = (*volumeNamed("PRIVATE"))["device"];

    mac.macsimOrThrow({"fault", "add", "--tool", "diskutil", "--args-prefix", "info -plist " + device, "--exit", "1",
                       "--stderr", "Could not find disk: " + device});
    RunResult proving = ferrolatch({"native-unlock-volume", manifestPath}, json::array({signInAnswer}));
    EXPECT_EQ(proving.status, 1);
    EXPECT_EQ(proving.err, "ferrolatch-proof: diskutil failed: Could not find disk: " + device + "\n");
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
    std::vector<json> calls = audit();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back()["argv"], json({"apfs", "lockVolume", device}));
    EXPECT_EQ(calls[calls.size() - 2]["argv"], json({"info", "-plist", device}));

    // A refused passkey leaves the volume locked and runs no unlock.
    std::size_t before = audit().size();
    RunResult cancelled =
        ferrolatch({"mount-drive", manifestPath}, json::array({{{"expect", "Sign in to"}, {"button", "Cancel"}}}));
    EXPECT_EQ(cancelled.status, 1);
    EXPECT_NE(cancelled.err.find("AuthorizationError error 1001"), std::string::npos) << cancelled.err;
    EXPECT_EQ(audit().size(), before + 1);
    EXPECT_TRUE((*volumeNamed("PRIVATE"))["locked"]);
}
