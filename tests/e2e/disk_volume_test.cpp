#include "disk/apfs_inventory.h"
#include "disk/disk_identity.h"
#include "disk/disk_images.h"
#include "disk/system_tools.h"
#include "disk/volume_files.h"
#include "common/errors.h"
#include "platform/macsim/macsim_workspace.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/linux_file_flags.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/posix_tool_runner.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/xattr.h>

using namespace ferrolatch;
using namespace ferrolatch::e2e;
namespace fs = std::filesystem;

namespace {

const std::string volumePassword = "correct horse battery staple";

class Quiet final : public Log {
public:
    void write(const std::string&) override {}
};

// The program's own view of one virtual Mac: its tools, files and log.
struct Mac {
    VirtualMac mac;
    PosixToolRunner tools {mac.sysroot(), {tools::diskutil, tools::hdiutil, tools::sync}};
    PosixFiles files;
    Quiet host;
    SysrootLog log {mac.sysroot(), "ferrolatch-proof", host};

    SecretBytes password() const { return SecretBytes::copyOf(std::string_view(volumePassword)); }
    std::string systemLog() const { return readTextFile(SysrootLog::logFile(mac.sysroot())); }
};

// A USB disk erased as set-up does, with the encrypted volume PRIVATE added to it.
std::string prepareDrive(Mac& m)
{
    m.mac.macsimOrThrow({"disk", "add", "--media", "Ferrolatch fixture", "--size", "128m", "--bus", "USB"});
    runTool(m.tools, tools::diskutil, {"eraseDisk", "APFS", "FERROLATCH", "GPT", "/dev/disk4"});
    std::string container;
    for (const APFSVolume& volume : listAPFSVolumes(m.tools))
        if (volume.name == "FERROLATCH")
            container = volume.device.substr(0, volume.device.rfind('s'));
    runTool(m.tools, tools::diskutil,
            {"apfs", "addVolume", container, "APFS", "PRIVATE", "-stdinpassphrase", "-passphraseHint",
             "Ferrolatch passkey or recovery password"},
            m.password().withLineFeed());
    return container;
}

APFSVolume volumeNamed(Mac& m, const std::string& name)
{
    for (const APFSVolume& volume : listAPFSVolumes(m.tools))
        if (volume.name == name)
            return volume;
    throw std::runtime_error("no volume " + name);
}

std::uint32_t emulatedFlags(const std::string& path)
{
    char text[32] = {};
    ssize_t length = getxattr(path.c_str(), emulated::fileFlagsAttribute, text, sizeof text - 1);
    return length > 0 ? static_cast<std::uint32_t>(std::stoul(std::string(text, static_cast<std::size_t>(length)))) : 0;
}

void expectNoArgumentHolds(const VirtualMac& mac, const std::string& secret)
{
    std::string audit = mac.macsimOrThrow({"audit"});
    EXPECT_FALSE(audit.empty());
    EXPECT_EQ(audit.find(secret), std::string::npos);
}

}

TEST(APFSVolumes, ListsLocksAndUnlocksWithThePasswordOnStdin)
{
    Mac m;
    std::string container = prepareDrive(m);
    std::vector<APFSVolume> volumes = listAPFSVolumes(m.tools, container);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].name, "FERROLATCH");
    EXPECT_FALSE(volumes[0].encrypted);
    EXPECT_EQ(volumes[1].name, "PRIVATE");
    EXPECT_TRUE(volumes[1].encrypted);
    EXPECT_FALSE(volumes[1].locked);
    EXPECT_EQ(volumes[1].uuid.size(), 36u);
    const std::string device = volumes[1].device;
    EXPECT_EQ(mountPoint(m.tools, device), m.mac.sysroot() + "/Volumes/PRIVATE");

    lockAPFSVolume(m.tools, device);
    EXPECT_TRUE(volumeNamed(m, "PRIVATE").locked);
    try {
        mountPoint(m.tools, device);
        ADD_FAILURE() << "a locked volume has a mount point";
    } catch (const ProofError& failure) {
        EXPECT_EQ(std::string(failure.what()), "APFS volume " + device + " is not mounted");
    }

    SecretBytes wrong = SecretBytes::copyOf(std::string_view("not the password"));
    try {
        unlockAPFSVolume(m.tools, device, wrong);
        ADD_FAILURE() << "the wrong password unlocked the volume";
    } catch (const ProofError& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("diskutil failed: ", 0), 0u) << failure.what();
    }
    EXPECT_TRUE(volumeNamed(m, "PRIVATE").locked);

    SecretBytes password = m.password();
    unlockAPFSVolume(m.tools, device, password);
    EXPECT_TRUE(password.equals(std::string_view(volumePassword)));
    EXPECT_FALSE(volumeNamed(m, "PRIVATE").locked);
    EXPECT_EQ(mountPoint(m.tools, device), m.mac.sysroot() + "/Volumes/PRIVATE");

    expectNoArgumentHolds(m.mac, volumePassword);
    expectNoArgumentHolds(m.mac, "not the password");
}

TEST(APFSVolumes, ProofMarkerIsRepairedAndSurvivesLocking)
{
    Mac m;
    prepareDrive(m);
    APFSVolume volume = volumeNamed(m, "PRIVATE");
    const std::string root = mountPoint(m.tools, volume.device);
    const std::string marker = root + "/.ferrolatch-proof";
    const std::string legacy = root + "/FERROLATCH-USB-PROOF.txt";
    {
        std::ofstream(legacy) << "FERROLATCH USB PROOF\n";
        std::ofstream(marker) << "Ferrolatch passkey unwrap proof"; // no final line feed
    }

    ensureProofMarker(m.files, m.log, root);
    EXPECT_EQ(readTextFile(marker), "Ferrolatch passkey unwrap proof\n");
    EXPECT_FALSE(fs::exists(legacy));
    struct stat info {};
    ASSERT_EQ(stat(marker.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    EXPECT_EQ(emulatedFlags(marker), 0x8002u);
    EXPECT_NE(m.systemLog().find("ferrolatch-proof[" + std::to_string(getpid()) +
                                 "]: Ferrolatch is rewriting the proof marker on " + root + "\n"),
              std::string::npos)
        << m.systemLog();

    // Locked and unlocked again, the protected marker is still right: nothing to do, nothing logged.
    lockAPFSVolume(m.tools, volume.device);
    SecretBytes password = m.password();
    unlockAPFSVolume(m.tools, volume.device, password);
    std::string logBefore = m.systemLog();
    ensureProofMarker(m.files, m.log, mountPoint(m.tools, volume.device));
    EXPECT_EQ(m.systemLog(), logBefore);
    EXPECT_EQ(emulatedFlags(marker), 0x8002u);
    EXPECT_THROW(m.files.removeFile(marker), PlatformError); // immutable until the flag is cleared
}

TEST(APFSVolumes, VolumeIconIsSetOnceFromTheBundle)
{
    Mac m;
    prepareDrive(m);
    const std::string root = mountPoint(m.tools, volumeNamed(m, "PRIVATE").device);
    PosixPaths paths(ferrolatchBundle(), m.mac.sysroot(), m.mac.sysroot() + "/Users/e2e");
    MacsimWorkspace workspace;

    setVolumeIcon(m.files, paths, workspace, m.log, root);
    std::string icon = readTextFile(root + "/.VolumeIcon.icns");
    EXPECT_EQ(icon, readTextFile(ferrolatchBundle() + "/Contents/Resources/FerrolatchVolumeIconMetal.icns"));
    EXPECT_TRUE(isIcnsImage(icon));
    unsigned char finderInfo[32] = {};
    ASSERT_EQ(getxattr(root.c_str(), finderInfoAttribute, finderInfo, sizeof finderInfo), 32);
    EXPECT_TRUE((finderInfo[8] << 8 | finderInfo[9]) & finderHasCustomIcon);
    std::string log = m.systemLog();
    EXPECT_NE(log.find("]: Ferrolatch set the Finder icon for " + root + "\n"), std::string::npos) << log;

    setVolumeIcon(m.files, paths, workspace, m.log, root);
    EXPECT_EQ(m.systemLog(), log);

    // A bundle without the resource leaves the volume as it is and says so.
    const std::string bootstrap = mountPoint(m.tools, volumeNamed(m, "FERROLATCH").device);
    PosixPaths bare(m.mac.sysroot() + "/NoSuch.app", m.mac.sysroot(), m.mac.sysroot() + "/Users/e2e");
    setVolumeIcon(m.files, bare, workspace, m.log, bootstrap);
    EXPECT_FALSE(fs::exists(bootstrap + "/.VolumeIcon.icns"));
    EXPECT_NE(m.systemLog().find("]: Ferrolatch volume icon unavailable for " + bootstrap + "\n"), std::string::npos);
}

TEST(DiskImages, ProofImageIsCreatedAttachedAndDetached)
{
    Mac m;
    const std::string image = m.mac.sysroot() + "/Users/proof image.dmg";
    SecretBytes password = m.password();
    createProofImage(m.tools, image, password);
    ASSERT_TRUE(fs::exists(image));

    SecretBytes wrong = SecretBytes::copyOf(std::string_view("wrong"));
    EXPECT_THROW(attachEncryptedImage(m.tools, image, wrong), ProofError);

    ImageAttachment attachment = attachEncryptedImage(m.tools, image, password);
    EXPECT_EQ(attachment.device.rfind("/dev/disk", 0), 0u);
    EXPECT_EQ(attachment.mountPoint, m.mac.sysroot() + "/Volumes/FERROLATCH-PROOF");
    EXPECT_TRUE(fs::is_directory(attachment.mountPoint));
    detachImage(m.tools, attachment.device);
    EXPECT_FALSE(fs::exists(attachment.mountPoint));
    expectNoArgumentHolds(m.mac, volumePassword);
}

TEST(DiskImages, SparsebundleIsCreatedOnceUnderNewDirectories)
{
    Mac m;
    const std::string bundle = m.mac.sysroot() + "/Users/e2e/Bundles/deep/vault.sparsebundle";
    SecretBytes password = m.password();
    createEncryptedSparsebundle(m.files, m.tools, bundle, "64m", "VAULT", password);
    ASSERT_TRUE(fs::is_directory(bundle));
    try {
        createEncryptedSparsebundle(m.files, m.tools, bundle, "64m", "VAULT", password);
        ADD_FAILURE() << "an existing bundle was replaced";
    } catch (const ProofError& failure) {
        EXPECT_EQ(std::string(failure.what()), "refusing to replace existing sparsebundle at " + bundle);
    }

    ImageAttachment attachment = attachEncryptedImage(m.tools, bundle, password);
    EXPECT_EQ(attachment.mountPoint, m.mac.sysroot() + "/Volumes/VAULT");
    detachImage(m.tools, attachment.device);
    expectNoArgumentHolds(m.mac, volumePassword);
}

TEST(ExternalDisks, OnlyEligibleDisksAreListedInFinderOrder)
{
    Mac m;
    for (int disk = 0; disk < 7; ++disk) {
        std::vector<std::string> arguments {"disk", "add", "--media", "Stick " + std::to_string(disk), "--size",
                                            "128m", "--bus", "USB"};
        if (disk == 2)
            arguments.push_back("--read-only");
        m.mac.macsimOrThrow(arguments);
    }
    std::vector<std::string> identifiers;
    for (const DriveInspection& disk : listEligibleExternalDisks(m.tools))
        identifiers.push_back(disk.deviceIdentifier);
    EXPECT_EQ(identifiers, (std::vector<std::string> {"disk4", "disk5", "disk7", "disk8", "disk9", "disk10"}));
}
