#include "tests/e2e/live_process.h"
#include "tests/e2e/macsim_test_support.h"

#include <fcntl.h>

using namespace macsim;
using namespace macsim::testing;

namespace {

// A volume holding what the program puts on one: a protected hidden marker, a
// read-only folder, a link, binary bytes, an empty file.
void fillVolume(const std::string& root)
{
    writeFile(root + "/.ferrolatch-proof", "Ferrolatch passkey unwrap proof\n", 0444);
    setEmulatedFlags(root + "/.ferrolatch-proof", "32770");
    ::mkdir((root + "/Documents").c_str(), 0755);
    writeFile(root + "/Documents/notes.txt", "private notes\n", 0600);
    std::string binary;
    for (int index = 0; index < 300000; ++index)
        binary.push_back(static_cast<char>(index * 7));
    writeFile(root + "/Documents/blob.bin", binary, 0640);
    writeFile(root + "/empty", "", 0644);
    ::symlink("Documents/notes.txt", (root + "/notes-link").c_str());
    ::mkdir((root + "/Sealed").c_str(), 0755);
    writeFile(root + "/Sealed/inside.txt", "kept", 0644);
    setEmulatedFlags(root + "/Sealed", "32768");
    ::chmod((root + "/Sealed").c_str(), 0555);
    ::chmod(root.c_str(), 0750);
}

bool treeContains(const std::string& root, const std::string& needle)
{
    for (const auto& [path, description] : snapshot(root)) {
        if (description.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

class MacsimVolume : public ::testing::Test {
protected:
    void SetUp() override
    {
        eraseFixtureDisk(mac);
        ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", password).status, 0);
    }
    std::string mountPoint() const { return mac.sysroot() + "/Volumes/PRIVATE"; }

    VirtualMac mac;
    const std::string password = "correct horse battery staple";
};

}

TEST_F(MacsimVolume, NewEncryptedVolumeIsUnlockedAndMounted)
{
    auto volume = volumeNamed(mac, "disk5s2");
    EXPECT_EQ(volume["encrypted"], true);
    EXPECT_EQ(volume["locked"], false);
    EXPECT_EQ(volume["mounted"], true);
    EXPECT_EQ(volume["mountPoint"], mountPoint());
    Plist identity = info(mac, "disk5s2");
    EXPECT_TRUE(flag(identity, "FileVault"));
    EXPECT_FALSE(flag(identity, "Internal"));
    EXPECT_EQ(text(identity, "MountPoint"), mountPoint());
    EXPECT_TRUE(exists(mountPoint()));
}

TEST_F(MacsimVolume, LockingEncryptsTheContentsAndUnlockingRestoresThemExactly)
{
    fillVolume(mountPoint());
    auto before = snapshot(mountPoint());

    RunResult locked = mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"});
    ASSERT_EQ(locked.status, 0) << describe(locked);
    EXPECT_FALSE(exists(mountPoint()));
    auto volume = volumeNamed(mac, "disk5s2");
    EXPECT_EQ(volume["locked"], true);
    EXPECT_EQ(volume["mounted"], false);
    EXPECT_EQ(text(info(mac, "disk5s2"), "MountPoint"), "");
    // Nothing of the plaintext is left anywhere in the virtual Mac.
    EXPECT_FALSE(treeContains(mac.sysroot(), "private notes"));
    EXPECT_FALSE(treeContains(mac.sysroot(), "Ferrolatch passkey unwrap proof"));

    RunResult unlocked = unlock(mac, "disk5s2", password);
    ASSERT_EQ(unlocked.status, 0) << describe(unlocked);
    EXPECT_EQ(snapshot(mountPoint()), before);
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], false);

    // And once more, to show a restored volume locks as well as a new one.
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    ASSERT_EQ(unlock(mac, "disk5s2", password).status, 0);
    EXPECT_EQ(snapshot(mountPoint()), before);
}

TEST_F(MacsimVolume, WrongPasswordFailsAndLeavesTheVolumeLocked)
{
    writeFile(mountPoint() + "/kept.txt", "kept");
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    for (const std::string wrong : {"correct horse battery stapl", "", "correct horse battery staple "}) {
        SCOPED_TRACE(wrong);
        RunResult result = unlock(mac, "disk5s2", wrong);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Error unlocking APFS Volume disk5s2: the passphrase is incorrect (-69749)\n");
        EXPECT_FALSE(exists(mountPoint()));
        EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], true);
    }
    // Only the first line of standard input is the passphrase.
    std::string twoLines = password + "\nsomething else\n";
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "unlockVolume", "disk5s2", "-stdinpassphrase"}, &twoLines).status, 0);
    EXPECT_EQ(ferrolatch::e2e::readTextFile(mountPoint() + "/kept.txt"), "kept");
}

TEST_F(MacsimVolume, UnlockThatCannotMountLeavesTheVolumeLockedAndUnlockable)
{
    fillVolume(mountPoint());
    auto before = snapshot(mountPoint());
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    // No directory to mount into: a file stands where Volumes should be.
    std::string volumes = mac.sysroot() + "/Volumes";
    ASSERT_EQ(::rename(volumes.c_str(), (volumes + ".away").c_str()), 0);
    writeFile(volumes, "");
    RunResult failed = unlock(mac, "disk5s2", password);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1) << failed.err;
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], true);
    EXPECT_FALSE(treeContains(mac.sysroot(), "private notes"));

    ASSERT_EQ(::unlink(volumes.c_str()), 0);
    ASSERT_EQ(::rename((volumes + ".away").c_str(), volumes.c_str()), 0);
    RunResult unlocked = unlock(mac, "disk5s2", password);
    ASSERT_EQ(unlocked.status, 0) << describe(unlocked);
    EXPECT_EQ(snapshot(mountPoint()), before);
}

TEST_F(MacsimVolume, SameNamesGetNumberedMountPoints)
{
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "PRIVATE", "other").status, 0);
    EXPECT_EQ(volumeNamed(mac, "disk5s3")["mountPoint"], mountPoint() + " 1");

    mac.macsimOrThrow({"disk", "add", "--media", "Second", "--size", "256m", "--bus", "USB"}); // disk6
    ASSERT_EQ(mac.tool(diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "disk6"}).status, 0);
    EXPECT_EQ(text(info(mac, "disk7s1"), "MountPoint"), mac.sysroot() + "/Volumes/FERROLATCH 1");

    // A freed mount point is reused by the next volume that needs it.
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s3"}).status, 0);
    ASSERT_EQ(unlock(mac, "disk5s3", "other").status, 0);
    EXPECT_EQ(volumeNamed(mac, "disk5s3")["mountPoint"], mountPoint());

    // A slash in a name shows as a colon in the mount point, as on a Mac.
    ASSERT_EQ(addEncryptedVolume(mac, "disk5", "A/B", "x").status, 0);
    EXPECT_EQ(text(info(mac, "disk5s4"), "MountPoint"), mac.sysroot() + "/Volumes/A:B");
    EXPECT_EQ(text(info(mac, "disk5s4"), "VolumeName"), "A/B");
}

TEST_F(MacsimVolume, UnmountAndMountNobrowseMoveTheVolumeOutOfSightAndBack)
{
    std::string bootstrap = mac.sysroot() + "/Volumes/FERROLATCH";
    writeFile(bootstrap + "/ferrolatch.json", "{}");
    RunResult unmounted = mac.tool(diskutil, {"unmount", "disk5s1"});
    ASSERT_EQ(unmounted.status, 0) << describe(unmounted);
    EXPECT_EQ(unmounted.out, "Volume FERROLATCH on disk5s1 unmounted\n");
    EXPECT_FALSE(exists(bootstrap));
    EXPECT_EQ(text(info(mac, "disk5s1"), "MountPoint"), "");

    RunResult again = mac.tool(diskutil, {"unmount", "disk5s1"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err,
        "disk5s1 was already unmounted or it has a partitioning scheme so use \"diskutil unmountDisk\" instead\n");

    RunResult mounted = mac.tool(diskutil, {"mount", "nobrowse", "disk5s1"});
    ASSERT_EQ(mounted.status, 0) << describe(mounted);
    EXPECT_EQ(text(info(mac, "disk5s1"), "MountPoint"), bootstrap);
    EXPECT_EQ(ferrolatch::e2e::readTextFile(bootstrap + "/ferrolatch.json"), "{}");
    auto volume = volumeNamed(mac, "disk5s1");
    EXPECT_EQ(volume["mounted"], true);
    EXPECT_EQ(volume["browsable"], false);

    EXPECT_EQ(mac.tool(diskutil, {"mount", "nobrowse", "disk5s1"}).status, 1);
    ASSERT_EQ(mac.tool(diskutil, {"unmount", bootstrap}).status, 0); // a mount point names its volume too
}

TEST_F(MacsimVolume, RefusalsAreOneLineWithStatusOne)
{
    ASSERT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {"lock an unencrypted volume", {"apfs", "lockVolume", "disk5s1"}, "disk5s1 is not an encrypted APFS Volume\n"},
        {"lock twice", {"apfs", "lockVolume", "disk5s2"}, "disk5s2 is already locked\n"},
        {"lock a missing volume", {"apfs", "lockVolume", "disk5s9"}, "Could not find disk: disk5s9\n"},
        {"mount a locked volume", {"mount", "nobrowse", "disk5s2"},
            "Volume on disk5s2 failed to mount; this is a locked APFS volume: use \"diskutil apfs unlockVolume\"\n"},
        {"unmount the startup volume", {"unmount", "/"},
            "Volume Macintosh HD on disk3s1 failed to unmount: dissented by PID 0 (kernel_task)\n"},
        {"add a volume to a volume", {"apfs", "addVolume", "disk5s1", "APFS", "X"}, "disk5s1 is not an APFS Container\n"},
        {"add a volume to a missing container", {"apfs", "addVolume", "disk8", "APFS", "X"}, "Could not find disk: disk8\n"},
        {"unknown verb", {"frobnicate"}, "diskutil: did not recognize verb \"frobnicate\"; type \"diskutil\" for a list\n"},
        {"a name that is not UTF-8", {"apfs", "addVolume", "disk5", "APFS", "bad\xff"},
            "diskutil: an argument is not valid UTF-8\n"},
        {"an erase name that is not UTF-8", {"eraseDisk", "APFS", "\xc3", "GPT", "disk4"},
            "diskutil: an argument is not valid UTF-8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult result = mac.tool(diskutil, c.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.error);
        EXPECT_EQ(result.out, "");
    }
    // Nothing was half made by the refused calls.
    EXPECT_EQ(state(mac)["volumes"].size(), 11u);
    EXPECT_FALSE(exists(mac.sysroot() + "/Volumes/bad\xff"));
    EXPECT_TRUE(exists(mac.sysroot() + "/Volumes/FERROLATCH"));
    std::string empty = "\n";
    RunResult noPassphrase = mac.tool(diskutil,
        {"apfs", "addVolume", "disk5", "APFS", "EMPTY", "-stdinpassphrase"}, &empty);
    EXPECT_EQ(noPassphrase.status, 1);
    ASSERT_EQ(unlock(mac, "disk5s2", password).status, 0);
    RunResult twice = unlock(mac, "disk5s2", password);
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "disk5s2 is already unlocked and is mounted at " + mountPoint() + "\n");
}

TEST_F(MacsimVolume, BusyVolumeRefusesToUnmountOrLock)
{
    writeFile(mountPoint() + "/open.txt", "held open");
    int held = ::open((mountPoint() + "/open.txt").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    std::string dissent = "dissented by PID " + std::to_string(::getpid());

    RunResult lock = mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"});
    EXPECT_EQ(lock.status, 1);
    EXPECT_NE(lock.err.find("Error locking APFS Volume disk5s2: " + dissent), std::string::npos) << lock.err;
    RunResult unmount = mac.tool(diskutil, {"unmount", "disk5s2"});
    EXPECT_EQ(unmount.status, 1);
    EXPECT_NE(unmount.err.find("Volume PRIVATE on disk5s2 failed to unmount: " + dissent), std::string::npos);
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], false);
    EXPECT_TRUE(exists(mountPoint() + "/open.txt"));

    ::close(held);
    EXPECT_EQ(mac.tool(diskutil, {"apfs", "lockVolume", "disk5s2"}).status, 0);
}

TEST_F(MacsimVolume, PullingTheDriveLocksItsUnlockedVolume)
{
    fillVolume(mountPoint());
    auto before = snapshot(mountPoint());
    mac.macsimOrThrow({"disk", "detach", "disk4"});
    EXPECT_FALSE(exists(mountPoint()));
    EXPECT_FALSE(treeContains(mac.sysroot(), "private notes"));
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], true);
    ASSERT_EQ(unlock(mac, "disk5s2", password).status, 0);
    EXPECT_EQ(snapshot(mountPoint()), before);
}

TEST_F(MacsimVolume, EjectUnmountsTheWholeDriveUnlessAFileOnItIsOpen)
{
    writeFile(mountPoint() + "/open.txt", "held open");
    std::string bootstrap = mac.sysroot() + "/Volumes/FERROLATCH";
    ASSERT_TRUE(exists(bootstrap));

    // An application holding a file refuses the eject before anything changes.
    {
        ferrolatch::e2e::LiveProcess holder(ferrolatch::e2e::macsimExecutable(), {"hold", mountPoint() + "/open.txt"}, mac.environment());
        ASSERT_TRUE(holder.readUntil("holding " + mountPoint() + "/open.txt\n"));
        RunResult refused = mac.tool(diskutil, {"eject", mountPoint()});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err.rfind("Unmount of disk4 failed: at least one volume could not be unmounted: dissented by "
                                    "PID " + std::to_string(holder.pid()) + " (",
                                    0),
                  0u)
            << refused.err;
        // The second line names the volume in use, whichever name the eject was given.
        EXPECT_NE(refused.err.find("\nVolume " + volumeNamed(mac, "disk5s2")["name"].get<std::string>()
                                   + " on disk5s2 failed to unmount: dissented by PID " + std::to_string(holder.pid())),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], false);
        EXPECT_TRUE(exists(mountPoint() + "/open.txt"));
        EXPECT_TRUE(exists(bootstrap));
        std::string error;
        EXPECT_EQ(holder.wait(error), 0) << error; // its input closed: it lets go
    }

    // Any name of the drive ejects all of it: the encrypted volume locked, the
    // other unmounted, the disk gone from the device list.
    RunResult ejected = mac.tool(diskutil, {"eject", "disk5s2"});
    ASSERT_EQ(ejected.status, 0) << describe(ejected);
    EXPECT_EQ(ejected.out, "Disk disk4 ejected\n");
    EXPECT_FALSE(exists(mountPoint()));
    EXPECT_FALSE(exists(bootstrap));
    RunResult gone = mac.tool(diskutil, {"info", "-plist", "disk4"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "Could not find disk: disk4\n");
    mac.macsimOrThrow({"disk", "attach", "disk4"});
    EXPECT_EQ(volumeNamed(mac, "disk5s2")["locked"], true);
    EXPECT_TRUE(exists(bootstrap));

    // The boot disk and names of nothing are refused.
    RunResult boot = mac.tool(diskutil, {"eject", "disk0"});
    EXPECT_EQ(boot.status, 1);
    EXPECT_EQ(boot.err, "Unmount of disk0 failed: at least one volume could not be unmounted: dissented by PID 0 "
                        "(kernel_task)\n");
    RunResult nothing = mac.tool(diskutil, {"eject", "disk9"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.err, "Could not find disk: disk9\n");
}
