#include "commands/native_recovery_commands.h"

#include "ceremony/native_passkey_ceremony.h"
#include "commands/drive_commands.h"
#include "commands/offline_recovery.h"
#include "commands/secret_clipboard.h"
#include "commands/shared_recovery_credential.h"
#include "common/constants.h"
#include "crypto/manifest_rules.h"
#include "disk/apfs_inventory.h"
#include "common/errors.h"
#include "platform/platform.h"

namespace ferrolatch {

namespace {

NativeRecoverySources sourcesOf(Platform& platform)
{
    return {platform.files, platform.tools,
            [&platform](const Manifest& manifest) {
                return unwrapPasswordWithPasskey(platform.mainLoop, platform.ui, platform.passkeys, manifest);
            },
            [&platform](const std::function<void()>& part) {
                runSecretClipboardFlow(platform.interruption, platform.pasteboard, platform.out, part);
            }};
}

PasswordsHandoffServices handoffServicesOf(Platform& platform)
{
    return {platform.ui, platform.out, platform.pasteboard, platform.tools, platform.workspace, platform.mainLoop};
}

}

void runNativeRecoveryCommand(NativeRecoverySources& sources, const std::string& manifestPath,
                              const RecoveryPresenter& presenter)
{
    Manifest manifest = loadNativeVolumeManifest(sources.files, manifestPath);
    if (!findManifestVolume(sources.tools, manifest).encrypted)
        throw ProofError("the native Ferrolatch APFS volume is not encrypted");

    SecretBytes password = sources.unwrap(manifest); // wiped by its destructor if the presenter fails
    sources.guardClipboard([&] { presenter(password, manifest.volumeName.value(), manifest.volumeUUID.value()); });
    password.wipe();
}

void runNativeCopyRecovery(NativeRecoverySources& sources, const std::string& manifestPath,
                           TerminalHandoffServices& handoff)
{
    Manifest manifest = loadNativeVolumeManifest(sources.files, manifestPath);
    APFSVolume volume = findManifestVolume(sources.tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the native Ferrolatch APFS volume must be encrypted and locked");

    SecretBytes password = sources.unwrap(manifest);
    sources.guardClipboard([&] {
        terminalPasswordsHandoff(handoff, password, manifest.volumeName.value(), manifest.volumeUUID.value());
    });
}

void runNativeShareRecovery(NativeRecoverySources& sources, SharedRecoveryServices& sharing,
                            const std::string& manifestPath)
{
    Manifest manifest = loadNativeVolumeManifest(sources.files, manifestPath);
    APFSVolume volume = findManifestVolume(sources.tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the native Ferrolatch APFS volume must be encrypted and locked");

    SecretBytes password = sources.unwrap(manifest); // wiped by its destructor on failure
    std::string account = recoveryAccount(manifest.volumeName.value(), manifest.volumeUUID.value());
    addSharedRecoveryCredential(sharing.loop, sharing.keychain, password, account);
    password.wipe();

    sharing.out << "NATIVE PASSWORDS SHARED-CREDENTIAL PROOF PASSED\n"
                << "The signed app saved or updated the visible recovery credential through macOS.\n"
                << "Website: " << recoveryCredentialDomain << "\n"
                << "Account: " << account << "\n";
    openPasswordsDisregardingFailure(sources.tools);
}

void nativeShareRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    NativeRecoverySources sources = sourcesOf(platform);
    SharedRecoveryServices sharing {platform.mainLoop, platform.keychain, platform.out};
    runNativeShareRecovery(sources, sharing, arguments.at(0).value);
}

void nativeOfflineRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    NativeRecoverySources sources = sourcesOf(platform);
    runNativeRecoveryCommand(sources, arguments.at(0).value,
                             [&platform](const SecretBytes& password, const std::string& name, const std::string& uuid) {
                                 showOfflineRecoveryCard(platform.ui, platform.out, password, name, uuid);
                             });
}

void nativePasswordsRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    NativeRecoverySources sources = sourcesOf(platform);
    PasswordsHandoffServices handoff = handoffServicesOf(platform);
    runNativeRecoveryCommand(sources, arguments.at(0).value,
                             [&handoff](const SecretBytes& password, const std::string& name, const std::string& uuid) {
                                 guidedPasswordsSave(handoff, password, name, uuid);
                             });
}

void nativeCopyRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    NativeRecoverySources sources = sourcesOf(platform);
    TerminalHandoffServices handoff {platform.out, platform.input, platform.pasteboard, platform.tools};
    runNativeCopyRecovery(sources, arguments.at(0).value, handoff);
}

}
