// Disk Arbitration, the APFS agent's prompt and the notification centers of a
// fresh virtual Mac, met by real processes: the stand-in tools on one side,
// sessions and observers opened through the product's adapters on the other.
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_mounted_volumes.h"
#include "platform/macsim/macsim_notification_center.h"
#include "platform/macsim/macsim_preferences.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/macsim/sysroot_sockets.h"
#include "tests/e2e/live_process.h"
#include "tests/e2e/macsim_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace ferrolatch;
using namespace macsim::testing;
using ferrolatch::e2e::LiveProcess;

namespace {

const std::string password = "correct horse battery staple";
const std::string guardStatus = "Ferrolatch handles this encrypted volume";

// A set-up drive, detached: disk4 holds container disk5 with the plain
// FERROLATCH volume (disk5s1) and the encrypted PRIVATE one (disk5s2).
struct Drive {
    explicit Drive(const std::vector<std::string>& init = {}) : mac(init)
    {
        eraseFixtureDisk(mac);
        RunResult added = addEncryptedVolume(mac, "disk5", "PRIVATE", password);
        if (added.status != 0)
            throw std::runtime_error("addVolume failed: " + describe(added));
        bootstrapUUID = volumeNamed(mac, "disk5s1")["uuid"];
        dataUUID = volumeNamed(mac, "disk5s2")["uuid"];
        mac.macsimOrThrow({"disk", "detach", "disk4"});
    }

    RunResult attach() const { return mac.macsim({"disk", "attach", "disk4"}); }
    std::string systemLog() const { return e2e::readTextFile(SysrootLog::logFile(mac.sysroot())); }
    nlohmann::json prompts() const { return state(mac)["passwordPrompts"]; }

    VirtualMac mac;
    std::string bootstrapUUID;
    std::string dataUUID;
};

std::unique_ptr<LiveProcess> client(const Drive& drive, const std::vector<std::string>& arguments)
{
    auto process = std::make_unique<LiveProcess>(e2e::arbitrationClientExecutable(), arguments, drive.mac.environment());
    if (!process->readUntil("ready\n"))
        throw std::runtime_error("the arbitration client did not start: " + process->output());
    return process;
}

void finish(LiveProcess& process)
{
    std::string error;
    EXPECT_EQ(process.wait(error), 0) << error;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string promptLine(const std::string& uuid)
{
    return "APFSUserAgent: password prompt for volume " + uuid;
}

}

TEST(DiskArbitrationOnTheVirtualMac, AttachPeeksEverySessionAndADissenterKeepsTheVolumeUnmounted)
{
    Drive drive;
    auto approving = client(drive, {"--approval", "approve"});
    auto dissenting = client(drive, {"--approval", "dissent"});
    ASSERT_EQ(drive.attach().status, 0);

    for (LiveProcess* session : {approving.get(), dissenting.get()}) {
        ASSERT_TRUE(session->readUntil("approve disk5s1\n"));
        EXPECT_TRUE(contains(session->output(), "peek disk5s1 " + drive.bootstrapUUID + "\n"));
        EXPECT_TRUE(contains(session->output(), "peek disk5s2 " + drive.dataUUID + "\n"));
        // Every volume is offered before any mount is decided.
        EXPECT_LT(session->output().find("peek disk5s2"), session->output().find("approve disk5s1"));
    }
    EXPECT_FALSE(volumeNamed(drive.mac, "disk5s1")["mounted"]);

    RunResult mount = drive.mac.tool(diskutil, {"mount", "disk5s1"});
    EXPECT_NE(mount.status, 0);
    EXPECT_EQ(mount.err, "Volume on disk5s1 failed to mount: the test client refuses this mount\n");
    EXPECT_FALSE(volumeNamed(drive.mac, "disk5s1")["mounted"]);

    // Once the dissenter has gone, the same mount goes through.
    finish(*dissenting);
    mount = drive.mac.tool(diskutil, {"mount", "disk5s1"});
    EXPECT_EQ(mount.status, 0) << mount.err;
    EXPECT_TRUE(volumeNamed(drive.mac, "disk5s1")["mounted"]);
    finish(*approving);
}

TEST(DiskArbitrationOnTheVirtualMac, AClaimerIsAskedForReleaseBeforeEveryMount)
{
    struct Case {
        std::string claim;
        bool unlocks;
    };
    for (const Case& c : {Case {"keep", false}, Case {"release", true}}) {
        SCOPED_TRACE(c.claim);
        Drive drive;
        auto claimer = client(drive, {"--claim", c.claim});
        ASSERT_EQ(drive.attach().status, 0);
        ASSERT_TRUE(claimer->readUntil("claimed disk5s2\n"));
        EXPECT_TRUE(volumeNamed(drive.mac, "disk5s2")["claimed"]);
        // A claimed locked volume gets no password prompt.
        EXPECT_EQ(drive.prompts(), nlohmann::json::array());
        EXPECT_EQ(volumeNamed(drive.mac, "disk5s1")["mounted"], c.unlocks);

        RunResult unlocked = unlock(drive.mac, "disk5s2", password);
        ASSERT_TRUE(claimer->readUntil("release disk5s2\n"));
        nlohmann::json volume = volumeNamed(drive.mac, "disk5s2");
        if (c.unlocks) {
            EXPECT_EQ(unlocked.status, 0) << unlocked.err;
            EXPECT_TRUE(volume["mounted"]);
            EXPECT_FALSE(volume["claimed"]);
            // The attach asked approval of its own attempt; the unlock asks again, after the release.
            ASSERT_TRUE(claimer->readUntil("approve disk5s2\n"));
            EXPECT_NE(claimer->output().find("approve disk5s2", claimer->output().find("release disk5s2")),
                      std::string::npos);
        } else {
            EXPECT_NE(unlocked.status, 0);
            EXPECT_EQ(unlocked.err, "Volume on disk5s2 failed to mount: the test client keeps its claim\n");
            EXPECT_TRUE(volume["locked"]);
            EXPECT_FALSE(volume["mounted"]);
            EXPECT_TRUE(volume["claimed"]);
            EXPECT_EQ(claimer->output().find("approve disk5s2", claimer->output().find("release disk5s2")),
                      std::string::npos);
        }
        finish(*claimer);
        // The claims end with the session.
        EXPECT_FALSE(volumeNamed(drive.mac, "disk5s2")["claimed"]);
    }
}

TEST(DiskArbitrationOnTheVirtualMac, TheAPFSAgentPromptsOnlyForAnUnclaimedUnmarkedLockedVolume)
{
    struct Case {
        std::string name;
        std::vector<std::string> init;
        bool claimed;
        bool marked;
        bool prompts;
    };
    const Case cases[] = {
        {"unclaimed and unmarked", {}, false, false, true},
        {"claimed", {}, true, false, false},
        {"marked", {}, false, true, false},
        {"marked, on a macOS without the preference", {"--no-prompt-suppression"}, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Drive drive(c.init);
        if (c.marked) {
            std::string login = nlohmann::json::parse(e2e::readTextFile(drive.mac.sysroot() +
                                                                        "/private/var/db/macsim/state.json"))["login"];
            MacsimPreferences preferences(drive.mac.sysroot() + "/Users/" + login + "/Library/Preferences");
            PreferenceValue::Dictionary settings {{"DontUnlockVolume", PreferenceValue("2999-01-01 00:00:00")}};
            preferences.setValue(drive.dataUUID, PreferenceValue(settings), "com.apple.APFSUserAgent");
            ASSERT_TRUE(preferences.synchronize("com.apple.APFSUserAgent"));
        }
        std::unique_ptr<LiveProcess> claimer;
        if (c.claimed)
            claimer = client(drive, {"--claim", "keep"});
        ASSERT_EQ(drive.attach().status, 0);

        EXPECT_EQ(contains(drive.systemLog(), promptLine(drive.dataUUID)), c.prompts);
        EXPECT_EQ(drive.prompts(), c.prompts ? nlohmann::json::array({drive.dataUUID}) : nlohmann::json::array());
        // Only the locked volume could be prompted for.
        EXPECT_FALSE(contains(drive.systemLog(), promptLine(drive.bootstrapUUID)));
        if (claimer)
            finish(*claimer);
    }
}

TEST(DiskArbitrationOnTheVirtualMac, AGoneSessionIsDroppedAndAHungOneCountsAsApproving)
{
    Drive drive;
    auto gone = client(drive, {"--approval", "dissent"});
    ::kill(gone->pid(), SIGKILL);
    std::string ignored;
    gone->wait(ignored);
    auto hung = client(drive, {"--approval", "hang"});
    auto sessions = [&] { return sysroot_sockets::socketsIn(sysroot_sockets::sessionDirectory(drive.mac.sysroot())); };
    ASSERT_EQ(sessions().size(), 2u);

    // The hung session costs one wait, not one per volume and question.
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(drive.attach().status, 0);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(volumeNamed(drive.mac, "disk5s1")["mounted"]);
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(9000));
    ASSERT_TRUE(hung->readUntil("peek disk5s1\n"));
    EXPECT_FALSE(contains(hung->output(), "disk5s2"));
    // Only the live one is left.
    EXPECT_EQ(sessions().size(), 1u);
    finish(*hung);
}

TEST(DiskArbitrationOnTheVirtualMac, NotificationsReachEveryObservingProcess)
{
    Drive drive;
    const std::string name = "com.quorvel.ferrolatch.finder.volumes-changed";
    auto first = client(drive, {"--observe", name, "--volumes", "--no-session"});
    auto second = client(drive, {"--observe", name, "--volumes", "--no-session"});

    SystemClock clock;
    HeadlessMainLoop loop(clock);
    MacsimNotificationCenter center(drive.mac.sysroot(), loop);
    center.post(name);
    center.post("com.example.unobserved");
    ASSERT_EQ(drive.mac.macsim({"notify", name}).status, 0);

    ASSERT_EQ(drive.attach().status, 0);
    std::string mounted = volumeNamed(drive.mac, "disk5s1")["mountPoint"];
    ASSERT_EQ(drive.mac.tool(diskutil, {"rename", "disk5s1", "BOOT"}).status, 0);
    std::string renamed = volumeNamed(drive.mac, "disk5s1")["mountPoint"];
    EXPECT_EQ(renamed, drive.mac.sysroot() + "/Volumes/BOOT");
    ASSERT_EQ(drive.mac.tool(diskutil, {"unmount", "disk5s1"}).status, 0);

    const std::string expected = "notification " + name + "\n" + "notification " + name + "\n" + "volume did-mount " + mounted +
                                 " listed\n" + "volume did-rename-volume " + renamed + " listed\n" +
                                 "volume did-unmount " + renamed + " unlisted\n";
    for (LiveProcess* observer : {first.get(), second.get()}) {
        ASSERT_TRUE(observer->readUntil("volume did-unmount"));
        ASSERT_TRUE(observer->readUntil("\n", 5));
        EXPECT_EQ(observer->output(), "ready\n" + expected);
        finish(*observer);
    }
}

TEST(DiskArbitrationOnTheVirtualMac, TheMountGuardHoldsAnEnrolledVolumeUntilTheAgentAllowsIt)
{
    Drive drive;
    auto agent = client(drive, {"--guard", drive.dataUUID});
    ASSERT_EQ(drive.attach().status, 0);
    EXPECT_TRUE(volumeNamed(drive.mac, "disk5s1")["mounted"]);
    EXPECT_TRUE(contains(drive.systemLog(), "Ferrolatch claimed an enrolled encrypted volume before automatic handling"));
    EXPECT_EQ(drive.prompts(), nlohmann::json::array());

    RunResult refused = unlock(drive.mac, "disk5s2", password);
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(refused.err, "Volume on disk5s2 failed to mount: " + guardStatus + "\n");
    EXPECT_TRUE(volumeNamed(drive.mac, "disk5s2")["locked"]);
    EXPECT_TRUE(contains(drive.systemLog(), "Ferrolatch retained its disk claim to suppress the generic APFS unlock prompt"));

    agent->write("allow " + drive.dataUUID + "\n");
    ASSERT_TRUE(agent->readUntil("ok allow"));
    RunResult unlocked = unlock(drive.mac, "disk5s2", password);
    EXPECT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_TRUE(volumeNamed(drive.mac, "disk5s2")["mounted"]);
    EXPECT_TRUE(contains(drive.systemLog(), "Ferrolatch released its disk claim for an explicit unlock"));

    // Allowed no more: the claim is gone, but the approval still refuses.
    agent->write("end " + drive.dataUUID + "\n");
    ASSERT_TRUE(agent->readUntil("ok end"));
    ASSERT_EQ(drive.mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    refused = unlock(drive.mac, "disk5s2", password);
    EXPECT_EQ(refused.err, "Volume on disk5s2 failed to mount: " + guardStatus + "\n");
    EXPECT_TRUE(contains(drive.systemLog(), "Ferrolatch blocked an automatic mount for an enrolled encrypted volume"));
    finish(*agent);
}

TEST(DiskArbitrationOnTheVirtualMac, ANobrowseMountIsHiddenFromTheBrowsableListing)
{
    Drive drive;
    ASSERT_EQ(drive.attach().status, 0);
    ASSERT_EQ(drive.mac.tool(diskutil, {"unmount", "disk5s1"}).status, 0);
    ASSERT_EQ(drive.mac.tool(diskutil, {"mount", "nobrowse", "disk5s1"}).status, 0);
    std::string mountPoint = volumeNamed(drive.mac, "disk5s1")["mountPoint"];

    MacsimMountedVolumes listing(drive.mac.sysroot());
    std::vector<MountedVolumeInfo> all = listing.mountedVolumes(MountedVolumes::Hidden::Listed);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, "/");
    EXPECT_EQ(all[0].isInternal, true);
    EXPECT_EQ(all[0].isRemovable, false);
    EXPECT_EQ(all[1].path, mountPoint);
    EXPECT_EQ(all[1].name, "FERROLATCH");
    EXPECT_EQ(all[1].uuid, drive.bootstrapUUID);
    EXPECT_EQ(all[1].isInternal, false);
    EXPECT_EQ(all[1].isBrowsable, false);
    EXPECT_EQ(all[1].isRemovable, true);

    std::vector<MountedVolumeInfo> browsable = listing.mountedVolumes(MountedVolumes::Hidden::Skipped);
    ASSERT_EQ(browsable.size(), 1u);
    EXPECT_EQ(browsable[0].path, "/");
}
