#pragma once

#include "commands/command.h"
#include "ceremony/native_passkey_ceremony.h"
#include "commands/drive_commands.h"
#include "crypto/drive_registry.h"
#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/main_loop.h"
#include "platform/paths.h"
#include "platform/tool_runner.h"
#include "platform/workspace.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace ferrolatch {

struct Platform;

// Hands the new recovery password to one of the recovery aids: (password,
// volume name, volume UUID). The caller's bytes are left as they are.
using RecoveryOffer = std::function<void(const SecretBytes&, const std::string&, const std::string&)>;

// What setting up a drive reaches. enrollPasskey creates a new passkey and
// evaluates its PRF for the salt; unwrap opens a manifest with the passkey.
struct DriveSetupServices {
    ToolRunner& tools;
    Files& files;
    Log& log;
    Paths& paths;
    Workspace& workspace;
    std::ostream& out;
    Clock& clock;
    VolumePromptSuppression& promptSuppression;
    std::function<NativeReply(std::span<const std::uint8_t> prfSalt)> enrollPasskey;
    std::function<SecretBytes(const Manifest&)> unwrap;
    RecoveryOffer offerPasswordsSave;
    RecoveryOffer offerRecoveryCard;
    // Where a running agent is asked to let the proof's unlock mount.
    LocalChannels& channels = unavailable::localChannels();
};

DriveSetupServices driveSetupServices(Platform& platform, VolumePromptSuppression& promptSuppression);

struct DriveSetupRequest {
    std::string wholeDisk;         // e.g. disk4
    std::string confirmationToken; // from the inspection the user agreed to
    std::string dataVolumeName;
    std::string manifestPath;      // absolute, on the Mac
};

// Enrolls a passkey, erases exactly the disk the token names and lays down the
// bootstrap and encrypted data volumes, writes and registers the manifest,
// proves one passkey unlock and offers the recovery aids. A failure leaves
// everything at the stage it reached; the password is zeroed however it ends.
void initializeDrive(DriveSetupServices& services, const DriveSetupRequest& request);

// init-drive WHOLE_DISK CONFIRMATION_TOKEN DATA_NAME MANIFEST
void initDriveCommand(Platform& platform, VolumePromptSuppression& promptSuppression,
                      const CommandArguments& arguments);

}
