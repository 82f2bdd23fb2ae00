#include "app/command_line.h"
#include "commands/inspect_drive.h"
#include "commands/native_recovery_commands.h"
#include "commands/native_image_commands.h"

namespace ferrolatch {

namespace {
constexpr ArgumentKind text = ArgumentKind::Text;
constexpr ArgumentKind file = ArgumentKind::File;
constexpr ArgumentKind directory = ArgumentKind::Directory;
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
        {"setup-drive", {}, true, nullptr},
        {"init-drive", {text, text, text, file}, true, nullptr},
        {"native-unlock-volume", {file}, true, nullptr},
        {"mount-drive", {file}, true, nullptr},
        {"lock-drive", {file}, false, nullptr},
        {"restore-drive", {file, directory, file}, true, nullptr},
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
        {"self-test", {}, false, nullptr},
    };
    return table;
}

}
