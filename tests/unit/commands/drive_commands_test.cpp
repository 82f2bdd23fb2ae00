#include "commands/drive_commands.h"

#include "common/constants.h"
#include "crypto/manifest.h"
#include "tests/support/fakes.h"
#include "tests/support/expectations.h"
#include "tests/support/drive_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::drive_testing;
using namespace ferrolatch::testing;

namespace {

const std::string manifestPath = "/Users/a/private.json";
const std::string uuid = "33333333-AAAA-4AAA-8AAA-333333333333";
const std::string password = "the-volume-password-of-43-characters-------";
const std::string mount = "/Volumes/PRIVATE";

struct VolumeCommands : ::testing::Test {
    ScriptedTools tools;
    MemoryFiles files;
    RecordingLog log;
    FakePaths paths;
    FakeWorkspace workspace;
    std::ostringstream out;
    int prompts = 0;
    DriveVolumeServices services {tools, files, log, paths, workspace, out, [this](const Manifest&) {
                                      ++prompts;
                                      return SecretBytes::copyOf(std::string_view(password));
                                  }};

    VolumeCommands()
    {
        Manifest manifest;
        manifest.version = protocolVersion;
        manifest.relyingPartyID = std::string(relyingPartyDomain);
        manifest.credentialID = "Y3JlZA";
        manifest.prfSalt = "c2FsdA";
        manifest.wrappedPassword = "d3JhcA";
        manifest.createdAt = "2026-01-31T09:15:00Z";
        manifest.resourceKind = "native-apfs-volume";
        manifest.volumeUUID = uuid;
        manifest.volumeName = "PRIVATE";
        files.put(manifestPath, encodeManifest(manifest));
        files.putDirectory(mount);
    }

    void volumeIs(bool encrypted, bool locked)
    {
        tools.expect(listArguments,
                     inventory("disk5", {{"disk5s1", "11111111-1111-1111-1111-111111111111", "FERROLATCH", false, false},
                                         {"disk5s2", uuid, "PRIVATE", encrypted, locked}}));
    }
    void unlocks() { tools.expect({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}); }
    void mounted() { tools.expect({"info", "-plist", "disk5s2"}, volumeInfo(mount)); }
    void notMounted() { tools.expect({"info", "-plist", "disk5s2"}, volumeInfo("")); }
    void locks() { tools.expect({"apfs", "lockVolume", "disk5s2"}); }
    void lockFails(const std::string& why) { tools.expectFailure({"apfs", "lockVolume", "disk5s2"}, why); }

    bool markerRepaired() { return files.exists(mount + "/.ferrolatch-proof"); }
};

}

TEST_F(VolumeCommands, ProofUnlocksChecksTheMarkerAndLocksAgain)
{
    volumeIs(true, true);
    unlocks();
    mounted();
    locks();
    runNativeUnlockVolume(services, manifestPath);
    EXPECT_EQ(out.str(), "NATIVE USB UNLOCK PROOF PASSED\n"
                         "AuthenticationServices mounted, verified, and re-locked the encrypted APFS volume.\n");
    EXPECT_EQ(tools.calls[1].standardInput, password + "\n");
    EXPECT_EQ(files.entries.at(mount + "/.ferrolatch-proof").contents, proofMarkerText);
    EXPECT_TRUE(tools.finished());
}

TEST_F(VolumeCommands, ProofLocksAgainAfterEachLaterFailureAndReportsTheFirst)
{
    // Not mounted after the unlock: one lock, then the not-mounted error.
    volumeIs(true, true);
    unlocks();
    notMounted();
    locks();
    EXPECT_PROOF_ERROR(runNativeUnlockVolume(services, manifestPath), "APFS volume disk5s2 is not mounted");
    EXPECT_TRUE(tools.finished());

    // A failing lock is tried once more; its own failure does not replace the first.
    volumeIs(true, true);
    unlocks();
    mounted();
    lockFails("first refusal");
    lockFails("second refusal");
    EXPECT_PROOF_ERROR(runNativeUnlockVolume(services, manifestPath), "diskutil failed: first refusal");
    EXPECT_TRUE(tools.finished());

    // A refused password is reported without a lock: nothing was unlocked.
    volumeIs(true, true);
    tools.expectFailure({"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, "wrong passphrase");
    EXPECT_PROOF_ERROR(runNativeUnlockVolume(services, manifestPath), "diskutil failed: wrong passphrase");
    EXPECT_TRUE(tools.finished());
    EXPECT_EQ(out.str(), "");
}

TEST_F(VolumeCommands, MountUnlocksWhenLockedAndLeavesTheVolumeOpen)
{
    volumeIs(true, true);
    unlocks();
    mounted();
    runMountDrive(services, manifestPath);
    EXPECT_EQ(out.str(), "DRIVE MOUNTED\nMount point: /Volumes/PRIVATE\n");
    EXPECT_TRUE(markerRepaired());
    ASSERT_EQ(workspace.iconsSet.size(), 1u);
    EXPECT_EQ(workspace.iconsSet[0].rfind(mount + " <- ", 0), 0u);
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(tools.finished());

    // Unlocked but its mount point is gone: locked again before the error.
    volumeIs(true, true);
    unlocks();
    notMounted();
    locks();
    EXPECT_PROOF_ERROR(runMountDrive(services, manifestPath), "APFS volume disk5s2 is not mounted");
    EXPECT_TRUE(tools.finished());
}

TEST_F(VolumeCommands, MountOfAnUnlockedVolumeAsksNothingAndNeverLocks)
{
    volumeIs(true, false);
    mounted();
    runMountDrive(services, manifestPath);
    EXPECT_EQ(out.str(), "DRIVE ALREADY MOUNTED\nMount point: /Volumes/PRIVATE\n");
    EXPECT_TRUE(markerRepaired()) << "a missing marker is still repaired";
    EXPECT_EQ(prompts, 0);

    volumeIs(true, false);
    notMounted();
    EXPECT_PROOF_ERROR(runMountDrive(services, manifestPath), "APFS volume disk5s2 is not mounted");
    EXPECT_TRUE(tools.finished()) << "no lock follows";
    EXPECT_EQ(prompts, 0);
}

TEST_F(VolumeCommands, LockLocksOnlyAnUnlockedVolume)
{
    volumeIs(true, true);
    runLockDrive(services, manifestPath);
    volumeIs(true, false);
    locks();
    runLockDrive(services, manifestPath);
    EXPECT_EQ(out.str(), "DRIVE ALREADY LOCKED\nDRIVE LOCKED\n");

    volumeIs(true, false);
    lockFails("busy");
    EXPECT_PROOF_ERROR(runLockDrive(services, manifestPath), "diskutil failed: busy");
    EXPECT_TRUE(tools.finished());
    EXPECT_EQ(prompts, 0);
}

TEST_F(VolumeCommands, RefusalsComeBeforeAnyPrompt)
{
    struct Case {
        std::string name;
        void (*command)(DriveVolumeServices&, const std::string&);
        bool encrypted;
        bool locked;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"proof of an unlocked volume", runNativeUnlockVolume, true, false,
         "the native Ferrolatch APFS volume must be encrypted and locked"},
        {"proof of a plain volume", runNativeUnlockVolume, false, false,
         "the native Ferrolatch APFS volume must be encrypted and locked"},
        {"mount of a plain volume", runMountDrive, false, false, "the native Ferrolatch APFS volume is not encrypted"},
        {"lock of a plain volume", runLockDrive, false, false, "the native Ferrolatch APFS volume is not encrypted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        volumeIs(c.encrypted, c.locked);
        EXPECT_PROOF_ERROR(c.command(services, manifestPath), c.error);
        EXPECT_TRUE(tools.finished());
    }

    // The UUID must match exactly; letter case included.
    std::string lower = uuid;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    tools.expect(listArguments, inventory("disk5", {{"disk5s2", lower, "PRIVATE", true, true}}));
    EXPECT_PROOF_ERROR(runMountDrive(services, manifestPath), "the native Ferrolatch APFS volume is not attached");

    // Another kind of manifest is refused before the inventory is read.
    files.put(manifestPath, R"({"version":1,"relyingPartyID":"localhost","credentialID":"a","prfSalt":"b",
        "wrappedPassword":"c","createdAt":"d","resourceKind":"apfs-volume","volumeUUID":")" + uuid + R"("})");
    for (auto command : {runNativeUnlockVolume, runMountDrive, runLockDrive})
        EXPECT_PROOF_ERROR(command(services, manifestPath), "manifest does not identify a native Ferrolatch APFS volume");
    EXPECT_TRUE(tools.finished());
    EXPECT_EQ(prompts, 0);
    EXPECT_EQ(out.str(), "");
}
