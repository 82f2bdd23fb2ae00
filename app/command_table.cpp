#include "app/command_line.h"
#include "app/prompt_suppression.h"
#include "app/self_test.h"
#include "commands/drive_commands.h"
#include "commands/drive_setup.h"
#include "commands/inspect_drive.h"
#include "commands/native_recovery_commands.h"
#include "commands/native_image_commands.h"
#include "commands/restore_drive.h"
#include "commands/setup_drive_chooser.h"

namespace ferrolatch {

namespace {
constexpr ArgumentKind text = ArgumentKind::Text;
constexpr ArgumentKind file = ArgumentKind::File;
constexpr ArgumentKind directory = ArgumentKind::Directory;

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
        {"enroll", {file, file}, false, nullptr},
        {"unlock", {file, file}, false, nullptr},
        {"native-enroll", {file, file}, true, nativeEnrollCommand},
        {"native-unlock", {file, file}, true, nativeUnlockCommand},
        {"native-enroll-bundle", {file, file, file, text, text}, true, nativeEnrollBundleCommand},
        {"native-unlock-bundle", {file, file}, true, nativeUnlockBundleCommand},
        {"native-mount-bundle", {file, file}, true, nativeMountBundleCommand},
        {"setup-drive", {}, true, withPromptSuppression<setupDriveCommand>},
        {"init-drive", {text, text, text, file}, true, withPromptSuppression<initDriveCommand>},
        {"native-unlock-volume", {file}, true, nativeUnlockVolumeCommand},
        {"mount-drive", {file}, true, mountDriveCommand},
        {"lock-drive", {file}, false, lockDriveCommand},
        {"restore-drive", {file, directory, file}, true, restoreDriveCommand},
        {"native-share-recovery", {file}, true, nullptr},
        {"native-copy-recovery", {file}, true, nativeCopyRecoveryCommand},
        {"native-offline-recovery", {file}, true, nativeOfflineRecoveryCommand},
        {"native-passwords-recovery", {file}, true, nativePasswordsRecoveryCommand},
        {"enroll-volume", {text, text, file, file}, false, nullptr},
        {"unlock-volume", {file}, false, nullptr},
        {"store-recovery", {file}, false, nullptr},
        {"share-recovery", {file}, true, nullptr},
        {"copy-recovery", {file}, false, nullptr},
        {"inspect-drive", {text}, false, inspectDriveCommand},
        {"agent-enable", {}, true, nullptr},
        {"agent-disable", {}, true, nullptr},
        {"agent-status", {}, true, nullptr},
        {"about", {}, true, nullptr},
        {"self-test", {}, false, selfTestCommand},
    };
    return table;
}

}
