#include "app/agent_commands.h"
#include "app/command_line.h"
#include "app/prompt_suppression.h"
#include "app/self_test.h"
#include "commands/about_window.h"
#include "commands/browser_commands.h"
#include "commands/drive_commands.h"
#include "commands/drive_setup.h"
#include "commands/inspect_drive.h"
#include "commands/native_recovery_commands.h"
#include "commands/native_image_commands.h"
#include "commands/restore_drive.h"
#include "commands/setup_drive_chooser.h"

namespace ferrolatch {

namespace {
// The arguments by the names the usage text gives them.
constexpr Parameter image {"IMAGE", ArgumentKind::File};
constexpr Parameter manifest {"MANIFEST", ArgumentKind::File};
constexpr Parameter bundle {"BUNDLE", ArgumentKind::File};
constexpr Parameter credentialManifest {"CREDENTIAL_MANIFEST", ArgumentKind::File};
constexpr Parameter volumeManifest {"VOLUME_MANIFEST", ArgumentKind::File};
constexpr Parameter sourceDirectory {"SOURCE_DIR", ArgumentKind::Directory};
constexpr Parameter receipt {"SHA256_RECEIPT", ArgumentKind::File};
constexpr Parameter size {"SIZE", ArgumentKind::Text};
constexpr Parameter volumeName {"VOLUME_NAME", ArgumentKind::Text};
constexpr Parameter wholeDisk {"WHOLE_DISK", ArgumentKind::Text};
constexpr Parameter token {"CONFIRMATION_TOKEN", ArgumentKind::Text};
constexpr Parameter dataName {"DATA_NAME", ArgumentKind::Text};
constexpr Parameter container {"CONTAINER", ArgumentKind::Text};
constexpr Parameter name {"NAME", ArgumentKind::Text};

// Set-up registers the drive, which keeps the system APFS agent's own prompt away.
template <void (*handler)(Platform&, VolumePromptSuppression&, const CommandArguments&)>
void withPromptSuppression(Platform& platform, const CommandArguments& arguments)
{
    APFSPromptSuppression suppression(promptSuppressionServices(platform));
    handler(platform, suppression, arguments);
}
}

// A command whose handler is still null is not part of this build yet; the
// frame says so instead of pretending to succeed.
std::span<const Command> commandTable()
{
    static const std::vector<Command> table = {
        {"enroll", {image, manifest}, false, enrollCommand},
        {"unlock", {image, manifest}, false, unlockCommand},
        {"native-enroll", {image, manifest}, true, nativeEnrollCommand},
        {"native-unlock", {image, manifest}, true, nativeUnlockCommand},
        {"native-enroll-bundle", {credentialManifest, bundle, manifest, size, volumeName}, true,
         nativeEnrollBundleCommand},
        {"native-unlock-bundle", {bundle, manifest}, true, nativeUnlockBundleCommand},
        {"native-mount-bundle", {bundle, manifest}, true, nativeMountBundleCommand},
        {"setup-drive", {}, true, withPromptSuppression<setupDriveCommand>},
        {"init-drive", {wholeDisk, token, dataName, manifest}, true,
         withPromptSuppression<initDriveCommand>},
        {"native-unlock-volume", {manifest}, true, nativeUnlockVolumeCommand},
        {"mount-drive", {manifest}, true, mountDriveCommand},
        {"lock-drive", {manifest}, false, lockDriveCommand},
        {"restore-drive", {manifest, sourceDirectory, receipt}, true, restoreDriveCommand},
        {"native-share-recovery", {manifest}, true, nativeShareRecoveryCommand},
        {"native-copy-recovery", {manifest}, true, nativeCopyRecoveryCommand},
        {"native-offline-recovery", {manifest}, true, nativeOfflineRecoveryCommand},
        {"native-passwords-recovery", {manifest}, true, nativePasswordsRecoveryCommand, "native-copy-recovery"},
        {"enroll-volume", {container, name, credentialManifest, volumeManifest}, false, enrollVolumeCommand},
        {"unlock-volume", {volumeManifest}, false, unlockVolumeCommand},
        {"store-recovery", {volumeManifest}, false, storeRecoveryCommand},
        {"share-recovery", {volumeManifest}, true, shareRecoveryCommand},
        {"copy-recovery", {volumeManifest}, false, copyRecoveryCommand},
        {"inspect-drive", {wholeDisk}, false, inspectDriveCommand},
        {"agent-enable", {}, true, agentEnableCommand},
        {"agent-disable", {}, true, agentDisableCommand},
        {"agent-status", {}, true, agentStatusCommand},
        {"about", {}, true, aboutCommand},
        {"self-test", {}, false, selfTestCommand},
    };
    return table;
}

}
