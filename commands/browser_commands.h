#pragma once

#include "ceremony/browser_ceremony.h"
#include "commands/command.h"
#include "common/secret_bytes.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/main_loop.h"
#include "platform/tool_runner.h"

#include <ostream>
#include <string>

namespace ferrolatch {

struct Platform;

// The browser ceremony as a command runs it: the page opened with
// `open -a Safari URL`, progress on the command's output, the platform's clock.
BrowserCeremonyServices browserCeremonyServices(Platform& platform);

// The reply's PRF output as bytes, or "browser returned malformed Base64URL".
SecretBytes browserPRFOutput(const BrowserReply& reply);

// The password of a browser-enrolled volume, with the volume it opens.
struct BrowserVolumePassword {
    SecretBytes password; // the caller zeroes it when done
    std::string volumeName;
    std::string volumeUUID;
};

// The first half of every browser recovery command: checks the manifest and
// that its volume is attached, encrypted and locked, runs the "unlock"
// ceremony and opens the wrap. Nothing opens in the browser before the
// manifest and the volume have passed.
BrowserVolumePassword obtainBrowserVolumePassword(BrowserCeremonyServices& ceremony, Files& files, ToolRunner& tools,
                                                  const std::string& manifestPath);

// enroll IMAGE MANIFEST, unlock IMAGE MANIFEST: the wrap proven on a disposable image.
void enrollCommand(Platform& platform, const CommandArguments& arguments);
void unlockCommand(Platform& platform, const CommandArguments& arguments);
// enroll-volume CONTAINER NAME CREDENTIAL_MANIFEST VOLUME_MANIFEST
void enrollVolumeCommand(Platform& platform, const CommandArguments& arguments);
// unlock-volume VOLUME_MANIFEST
void unlockVolumeCommand(Platform& platform, const CommandArguments& arguments);
// copy-recovery VOLUME_MANIFEST
void copyRecoveryCommand(Platform& platform, const CommandArguments& arguments);

// Where store-recovery and share-recovery put the password and report.
struct BrowserRecoveryServices {
    Keychain& keychain;
    MainLoop& loop;
    ToolRunner& tools;
    std::ostream& out;
};

// The second half of store-recovery: the password becomes the keychain item,
// read back exactly, then the result lines and Passwords. The password is
// zeroed however it ends.
void storeObtainedRecovery(BrowserRecoveryServices& services, BrowserVolumePassword& obtained);
// The second half of share-recovery: the password is offered to the
// shared-web-credential service, then the result lines and Passwords. The
// password is zeroed however it ends.
void shareObtainedRecovery(BrowserRecoveryServices& services, BrowserVolumePassword& obtained);

// store-recovery VOLUME_MANIFEST
void storeRecoveryCommand(Platform& platform, const CommandArguments& arguments);
// share-recovery VOLUME_MANIFEST
void shareRecoveryCommand(Platform& platform, const CommandArguments& arguments);

}
