#pragma once

#include "commands/command.h"
#include "crypto/manifest.h"
#include "common/secret_bytes.h"
#include "disk/apfs_inventory.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/local_channels.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"
#include "platform/unavailable_services.h"
#include "platform/workspace.h"

#include <functional>
#include <ostream>
#include <string>

namespace ferrolatch {

struct Platform;

// What the everyday drive commands reach. unwrap shows the passkey prompt and
// returns the manifest's volume password.
struct DriveVolumeServices {
    ToolRunner& tools;
    Files& files;
    Log& log;
    Paths& paths;
    Workspace& workspace;
    std::ostream& out;
    std::function<SecretBytes(const Manifest&)> unwrap;
    // Where a running agent is asked to let the unlocked volume mount.
    LocalChannels& channels = unavailable::localChannels();
};

DriveVolumeServices driveVolumeServices(Platform& platform);

// The manifest's volume: the first inventory row whose UUID is exactly the
// manifest's, or "the native Ferrolatch APFS volume is not attached".
APFSVolume findManifestVolume(ToolRunner& tools, const Manifest& manifest);

// Unlocks with the passkey, checks the mount and the proof marker, and locks
// again. Every failure after the unlock tries one lock before it is reported.
void runNativeUnlockVolume(DriveVolumeServices& services, const std::string& manifestPath);
// Unlocks with the passkey if needed and leaves the volume mounted, with its
// proof marker and icon repaired.
void runMountDrive(DriveVolumeServices& services, const std::string& manifestPath);
// Locks the volume if it is unlocked; no passkey is involved.
void runLockDrive(DriveVolumeServices& services, const std::string& manifestPath);

void nativeUnlockVolumeCommand(Platform& platform, const CommandArguments& arguments); // MANIFEST
void mountDriveCommand(Platform& platform, const CommandArguments& arguments);         // MANIFEST
void lockDriveCommand(Platform& platform, const CommandArguments& arguments);          // MANIFEST

}
