#pragma once

#include "commands/command.h"
#include "commands/drive_commands.h"

#include <cstdint>
#include <string>

namespace ferrolatch {

// Free space a verified restore of sourceBytes needs: the bytes plus a margin
// of 64 MiB, or of 5 % once the backup is larger than 1,342,177,279 bytes.
std::int64_t requiredRestoreSpace(std::int64_t sourceBytes);

// Verifies the backup against its receipt before the drive is touched, then
// unlocks the manifest's volume with the passkey, copies the backup into a new
// "Backups" folder, verifies the copy against the same receipt, leaves the
// receipt beside it and locks the volume again. Every failure after the unlock
// tries one lock before it is reported.
void runRestoreDrive(DriveVolumeServices& services, const std::string& manifestPath, const std::string& sourceDirectory,
                     const std::string& receiptPath);

void restoreDriveCommand(Platform& platform, const CommandArguments& arguments); // MANIFEST SOURCE_DIR SHA256_RECEIPT

}
