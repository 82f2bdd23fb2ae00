#include "app/agent_commands.h"
#include "app/command_line.h"
#include "app/forget_drive.h"
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
constexpr Parameter volumeUUID {"VOLUME_UUID", ArgumentKind::Text};

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
        {"enroll", {image, manifest}, Interface::None, enrollCommand},
        {"unlock", {image, manifest}, Interface::None, unlockCommand},
        {"native-enroll", {image, manifest}, Interface::Windows, nativeEnrollCommand},
        {"native-unlock", {image, manifest}, Interface::Windows, nativeUnlockCommand},
        {"native-enroll-bundle", {credentialManifest, bundle, manifest, size, volumeName}, Interface::Windows,
         nativeEnrollBundleCommand},
        {"native-unlock-bundle", {bundle, manifest}, Interface::Windows, nativeUnlockBundleCommand},
        {"native-mount-bundle", {bundle, manifest}, Interface::Windows, nativeMountBundleCommand},
        {"setup-drive", {}, Interface::Windows, withPromptSuppression<setupDriveCommand>},
        {"init-drive", {wholeDisk, token, dataName, manifest}, Interface::Windows,
         withPromptSuppression<initDriveCommand>},
        {"native-unlock-volume", {manifest}, Interface::Windows, nativeUnlockVolumeCommand},
        {"mount-drive", {manifest}, Interface::Windows, mountDriveCommand},
        {"lock-drive", {manifest}, Interface::None, lockDriveCommand},
        {"restore-drive", {manifest, sourceDirectory, receipt}, Interface::Windows, restoreDriveCommand},
        {"native-share-recovery", {manifest}, Interface::Windows, nativeShareRecoveryCommand},
        {"native-copy-recovery", {manifest}, Interface::Windows, nativeCopyRecoveryCommand},
        {"native-offline-recovery", {manifest}, Interface::Windows, nativeOfflineRecoveryCommand},
        {"native-passwords-recovery", {manifest}, Interface::Windows, nativePasswordsRecoveryCommand,
         "native-copy-recovery"},
        {"enroll-volume", {container, name, credentialManifest, volumeManifest}, Interface::None,
         enrollVolumeCommand},
        {"unlock-volume", {volumeManifest}, Interface::None, unlockVolumeCommand},
        {"store-recovery", {volumeManifest}, Interface::None, storeRecoveryCommand},
        {"share-recovery", {volumeManifest}, Interface::Windows, shareRecoveryCommand},
        {"copy-recovery", {volumeManifest}, Interface::None, copyRecoveryCommand},
        {"inspect-drive", {wholeDisk}, Interface::None, inspectDriveCommand},
        {"agent-enable", {}, Interface::Windowless, agentEnableCommand},
        {"agent-disable", {}, Interface::Windowless, agentDisableCommand},
        {"agent-status", {}, Interface::Windowless, agentStatusCommand},
        {"about", {}, Interface::Windows, aboutCommand},
        {"self-test", {}, Interface::None, selfTestCommand},
        {"forget-drive", {volumeUUID}, Interface::None, forgetDriveCommand},
    };
    return table;
}

}
