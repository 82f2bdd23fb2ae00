#include "commands/drive_commands.h"

#include "ceremony/native_passkey_ceremony.h"
#include "commands/agent_unlock_window.h"
#include "crypto/manifest_rules.h"
#include "disk/volume_files.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "platform/platform.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace ferrolatch {

namespace {

// Unlocks and returns the mount point; a volume that unlocked but did not
// mount is locked again before the error leaves.
std::string unlockAndMount(DriveVolumeServices& services, const APFSVolume& volume, const SecretBytes& password)
{
    unlockAPFSVolumeBesideAgent(services.channels, services.tools, volume, password);
    auto relock = onFailure([&] { lockAPFSVolume(services.tools, volume.device); });
    std::string mount = mountPoint(services.tools, volume.device);
    relock.dismiss();
    return mount;
}

void printMounted(std::ostream& out, const char* headline, const std::string& mount)
{
    out << headline << '\n' << "Mount point: " << mount << '\n';
}

}

DriveVolumeServices driveVolumeServices(Platform& platform)
{
    return {platform.tools, platform.files, platform.log, platform.paths, platform.workspace, platform.out,
            [&platform](const Manifest& manifest) {
                return unwrapPasswordWithPasskey(platform.mainLoop, platform.ui, platform.passkeys, manifest);
            },
            platform.channels};
}

APFSVolume findManifestVolume(ToolRunner& tools, const Manifest& manifest)
{
    std::vector<APFSVolume> volumes = listAPFSVolumes(tools);
    auto found = std::find_if(volumes.begin(), volumes.end(),
                              [&](const APFSVolume& volume) { return volume.uuid == manifest.volumeUUID; });
    if (found == volumes.end())
        throw ProofError("the native Ferrolatch APFS volume is not attached");
    return *found;
}

void runNativeUnlockVolume(DriveVolumeServices& services, const std::string& manifestPath)
{
    Manifest manifest = loadNativeVolumeManifest(services.files, manifestPath);
    APFSVolume volume = findManifestVolume(services.tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the native Ferrolatch APFS volume must be encrypted and locked");

    // Zeroed by its destructor on every failure below.
    SecretBytes password = services.unwrap(manifest);
    std::string mount = unlockAndMount(services, volume, password);
    auto relock = onFailure([&] { lockAPFSVolume(services.tools, volume.device); });
    ensureProofMarker(services.files, services.log, mount);
    lockAPFSVolume(services.tools, volume.device);
    relock.dismiss();

    services.out << "NATIVE USB UNLOCK PROOF PASSED\n"
                 << "AuthenticationServices mounted, verified, and re-locked the encrypted APFS volume.\n";
    password.wipe();
}

void runMountDrive(DriveVolumeServices& services, const std::string& manifestPath)
{
    Manifest manifest = loadNativeVolumeManifest(services.files, manifestPath);
    APFSVolume volume = findManifestVolume(services.tools, manifest);
    if (!volume.encrypted)
        throw ProofError("the native Ferrolatch APFS volume is not encrypted");

    if (volume.locked) {
        SecretBytes password = services.unwrap(manifest);
        std::string mount = unlockAndMount(services, volume, password);
        ensureProofMarker(services.files, services.log, mount);
        setVolumeIcon(services.files, services.paths, services.workspace, services.log, mount);
        printMounted(services.out, "DRIVE MOUNTED", mount);
        password.wipe();
        return;
    }

    // Already unlocked: no prompt, and an unmounted volume is left as it is.
    std::string mount = mountPoint(services.tools, volume.device);
    ensureProofMarker(services.files, services.log, mount);
    setVolumeIcon(services.files, services.paths, services.workspace, services.log, mount);
    printMounted(services.out, "DRIVE ALREADY MOUNTED", mount);
}

void runLockDrive(DriveVolumeServices& services, const std::string& manifestPath)
{
    Manifest manifest = loadNativeVolumeManifest(services.files, manifestPath);
    APFSVolume volume = findManifestVolume(services.tools, manifest);
    if (!volume.encrypted)
        throw ProofError("the native Ferrolatch APFS volume is not encrypted");
    if (volume.locked) {
        services.out << "DRIVE ALREADY LOCKED\n";
        return;
    }
    lockAPFSVolume(services.tools, volume.device);
    services.out << "DRIVE LOCKED\n";
}

void nativeUnlockVolumeCommand(Platform& platform, const CommandArguments& arguments)
{
    DriveVolumeServices services = driveVolumeServices(platform);
    runNativeUnlockVolume(services, arguments.at(0).value);
}

void mountDriveCommand(Platform& platform, const CommandArguments& arguments)
{
    DriveVolumeServices services = driveVolumeServices(platform);
    runMountDrive(services, arguments.at(0).value);
}

void lockDriveCommand(Platform& platform, const CommandArguments& arguments)
{
    DriveVolumeServices services = driveVolumeServices(platform);
    runLockDrive(services, arguments.at(0).value);
}

}
