#pragma once

#include "commands/command.h"
#include "commands/passwords_handoff.h"
#include "crypto/manifest.h"
#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/main_loop.h"
#include "platform/tool_runner.h"

#include <functional>
#include <ostream>
#include <string>

namespace ferrolatch {

struct Platform;

// Shows or hands over a recovery password: (password, volume name, volume UUID).
using RecoveryPresenter = std::function<void(const SecretBytes&, const std::string&, const std::string&)>;

// Where the native recovery commands get their password from: the manifest,
// the APFS inventory and the passkey that opens the wrap.
struct NativeRecoverySources {
    Files& files;
    ToolRunner& tools;
    std::function<SecretBytes(const Manifest&)> unwrap;
    // Runs the part that shows or copies the password; main's wiring keeps
    // signals and closed outputs from leaving it on the clipboard.
    std::function<void(const std::function<void()>&)> guardClipboard = [](const std::function<void()>& part) {
        part();
    };
};

// Loads the native volume manifest, makes sure its volume is attached and
// encrypted (locked or not), unwraps the password with the passkey and hands
// it to the presenter. The password is zeroed afterwards, however the
// presenter ended.
void runNativeRecoveryCommand(NativeRecoverySources& sources, const std::string& manifestPath,
                              const RecoveryPresenter& presenter);

// The body of native-copy-recovery: like the above, but only for a volume that
// is encrypted and locked, ending in the terminal handoff.
void runNativeCopyRecovery(NativeRecoverySources& sources, const std::string& manifestPath,
                           TerminalHandoffServices& handoff);

// Where native-share-recovery offers the password and reports.
struct SharedRecoveryServices {
    MainLoop& loop;
    Keychain& keychain;
    std::ostream& out;
};

// The body of native-share-recovery: for a volume that is encrypted and
// locked, the password goes to the shared-web-credential service; Passwords
// is opened afterwards. The password is zeroed however it ends.
void runNativeShareRecovery(NativeRecoverySources& sources, SharedRecoveryServices& sharing,
                            const std::string& manifestPath);

// native-share-recovery MANIFEST
void nativeShareRecoveryCommand(Platform& platform, const CommandArguments& arguments);
// native-offline-recovery MANIFEST
void nativeOfflineRecoveryCommand(Platform& platform, const CommandArguments& arguments);
// native-passwords-recovery MANIFEST
void nativePasswordsRecoveryCommand(Platform& platform, const CommandArguments& arguments);
// native-copy-recovery MANIFEST
void nativeCopyRecoveryCommand(Platform& platform, const CommandArguments& arguments);

}
