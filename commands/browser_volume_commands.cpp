#include "commands/browser_commands.h"

#include "commands/agent_unlock_window.h"
#include "commands/drive_layout.h"
#include "commands/passwords_handoff.h"
#include "commands/secret_clipboard.h"
#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/apfs_inventory.h"
#include "disk/system_tools.h"
#include "disk/volume_files.h"
#include "platform/platform.h"

#include <algorithm>

namespace ferrolatch {

namespace {

APFSVolume findEnrolledVolume(ToolRunner& tools, const Manifest& manifest)
{
    std::vector<APFSVolume> volumes = listAPFSVolumes(tools);
    auto found = std::find_if(volumes.begin(), volumes.end(),
                              [&](const APFSVolume& volume) { return volume.uuid == manifest.volumeUUID; });
    if (found == volumes.end())
        throw ProofError("the enrolled APFS volume is not attached");
    return *found;
}

// The salt, with the wrapped password proven decodable before any page opens.
std::vector<std::uint8_t> decodeSaltCheckingWrap(const Manifest& manifest)
{
    auto salt = base64URLDecode(manifest.prfSalt);
    if (!salt || !base64URLDecode(manifest.wrappedPassword))
        throw ProofError(malformedBase64URLMessage);
    return std::move(*salt);
}

SecretBytes unwrapThroughBrowser(BrowserCeremonyServices& ceremony, const Manifest& manifest)
{
    std::vector<std::uint8_t> salt = decodeSaltCheckingWrap(manifest);
    BrowserReply reply = runBrowserCeremony(ceremony, "unlock", salt, manifest.credentialID);
    SecretBytes prfOutput = browserPRFOutput(reply);
    return openWrappedPassword(manifest, prfOutput, localRelyingPartyID);
}

}

BrowserVolumePassword obtainBrowserVolumePassword(BrowserCeremonyServices& ceremony, Files& files, ToolRunner& tools,
                                                  const std::string& manifestPath)
{
    Manifest manifest = acceptBrowserRecoveryManifest(readManifest(files, manifestPath));
    APFSVolume volume = findEnrolledVolume(tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the enrolled APFS volume must be encrypted and locked");
    return {unwrapThroughBrowser(ceremony, manifest), manifest.volumeName.value(), manifest.volumeUUID.value()};
}

void enrollVolumeCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& container = arguments.at(0).value;
    const std::string& name = arguments.at(1).value;
    const std::string& volumeManifestPath = arguments.at(3).value;
    ensureManifestPathFree(platform.files, volumeManifestPath);
    Manifest credentialManifest = acceptBrowserCredentialManifest(readManifest(platform.files, arguments.at(2).value));

    SecretBytes salt = randomBytes(prfSaltSize);
    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    BrowserReply reply = runBrowserCeremony(ceremony, "unlock", salt.bytes(), credentialManifest.credentialID);
    SecretBytes prfOutput = browserPRFOutput(reply);
    NewPasswordWrap wrap = wrapNewPassword(prfOutput, salt.bytes(), localRelyingPartyID, reply.credentialID);
    prfOutput.wipe();
    SecretBytes password = std::move(wrap.password);

    APFSVolume volume = createEncryptedVolume(platform.tools, container, name, password);
    std::string mount = mountPoint(platform.tools, volume.device);
    {
        auto relock = onFailure([&] { runTool(platform.tools, tools::diskutil, {"apfs", "lockVolume", volume.device}); });
        std::string markerPath = mount + "/" + std::string(proofMarkerName);
        platform.files.writeFileAtomically(markerPath, std::string(proofMarkerText));
        protectHiddenFile(platform.files, markerPath);
        runTool(platform.tools, tools::sync, {});
        runTool(platform.tools, tools::diskutil, {"apfs", "lockVolume", volume.device});
        relock.dismiss();
    }
    password.wipe();

    Manifest manifest = enrollmentManifest(localRelyingPartyID, reply.credentialID, salt.bytes(),
                                           std::move(wrap.wrappedPassword),
                                           manifestTimestamp(platform.mainLoop.clock().date()), browserVolumeKind);
    manifest.volumeUUID = volume.uuid;
    manifest.volumeName = volume.name;
    writeNewManifest(platform.files, manifest, volumeManifestPath);

    platform.out << "USB ENROLL PROOF PASSED\n"
                 << "Created and locked encrypted APFS volume: " << volume.name << " (" << volume.uuid << ")\n"
                 << "Created non-secret wrap manifest: " << volumeManifestPath << '\n';
}

void unlockVolumeCommand(Platform& platform, const CommandArguments& arguments)
{
    Manifest manifest = acceptBrowserVolumeManifest(readManifest(platform.files, arguments.at(0).value));
    APFSVolume volume = findEnrolledVolume(platform.tools, manifest);
    if (!volume.encrypted || !volume.locked)
        throw ProofError("the enrolled APFS volume is not encrypted and locked");

    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    SecretBytes password = unwrapThroughBrowser(ceremony, manifest); // zeroed by its destructor on failure
    unlockAPFSVolumeBesideAgent(platform.channels, platform.tools, volume, password);
    password.wipe();

    auto relock = onFailure([&] { lockAPFSVolume(platform.tools, volume.device); });
    std::string mount = mountPoint(platform.tools, volume.device);
    ensureProofMarker(platform.files, platform.log, mount);
    lockAPFSVolume(platform.tools, volume.device);
    relock.dismiss();

    platform.out << "USB UNLOCK PROOF PASSED\n"
                 << "The passkey-derived unwrap mounted, verified, and re-locked the physical encrypted APFS volume.\n";
}

void copyRecoveryCommand(Platform& platform, const CommandArguments& arguments)
{
    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    BrowserVolumePassword obtained =
        obtainBrowserVolumePassword(ceremony, platform.files, platform.tools, arguments.at(0).value);
    TerminalHandoffServices handoff {platform.out, platform.input, platform.pasteboard, platform.tools};
    runSecretClipboardFlow(platform.interruption, platform.pasteboard, platform.out, [&] {
        terminalPasswordsHandoff(handoff, obtained.password, obtained.volumeName, obtained.volumeUUID);
    });
}

}
