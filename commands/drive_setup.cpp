#include "commands/drive_setup.h"

#include "common/ascii_case.h"
#include "common/constants.h"
#include "commands/drive_layout.h"
#include "commands/offline_recovery.h"
#include "commands/passwords_handoff.h"
#include "commands/secret_clipboard.h"
#include "common/path_text.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/disk_identity.h"
#include "disk/system_tools.h"
#include "disk/volume_files.h"
#include "disk/volume_name.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "platform/platform.h"

#include <exception>
#include <vector>

namespace ferrolatch {

namespace {

// Where the directory really is: the deepest part that exists with its links
// resolved, and the rest (still to be made) as written.
std::string realDirectory(Files& files, const std::string& directory)
{
    std::string existing = directory;
    std::string rest;
    while (existing.size() > 1) {
        if (std::optional<std::string> resolved = files.resolvedPath(existing))
            return (*resolved == "/" ? "" : *resolved) + rest;
        std::size_t slash = existing.rfind('/');
        rest = existing.substr(slash) + rest;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    return directory;
}

// Removable media is mounted under /Volumes; on a virtual Mac that directory
// lives wherever the system keeps it, so both spellings are refused. The Mac's
// volumes are case-insensitive and a link can lead there, so the comparison
// is made without case, on the path as given and on where it really leads.
bool isOnRemovableMedia(Files& files, Paths& paths, const std::string& path)
{
    std::string volumesRoot = paths.systemFile("/Volumes");
    while (volumesRoot.size() > 1 && volumesRoot.back() == '/')
        volumesRoot.pop_back();
    const std::string roots[] = {"/volumes/", asciiLowercased(volumesRoot) + "/",
                                 asciiLowercased(realDirectory(files, volumesRoot)) + "/"};
    for (const std::string& candidate : {path, realDirectory(files, parentDirectory(path)) + "/"}) {
        std::string folded = asciiLowercased(candidate);
        for (const std::string& root : roots)
            if (root.size() > 1 && folded.starts_with(root))
                return true;
    }
    return false;
}

APFSVolume bootstrapVolume(ToolRunner& tools, const std::string& container)
{
    for (const APFSVolume& volume : listAPFSVolumes(tools, container))
        if (volume.name == bootstrapVolumeName && !volume.encrypted)
            return volume;
    throw ProofError("erase completed but the FERROLATCH bootstrap volume was not found");
}

// A new passkey, and a new volume password sealed under its PRF output in the
// pending manifest. The PRF output and the key are zeroed before it returns.
struct Enrollment {
    Manifest manifest;
    SecretBytes password;
};

Enrollment enrollNewPasskey(DriveSetupServices& services, const std::string& dataVolumeName)
{
    SecretBytes salt = randomBytes(prfSaltSize);
    NativeReply reply = services.enrollPasskey(salt.bytes());
    std::string credentialText = base64URLEncode(reply.credentialID);

    NewPasswordWrap wrap = wrapNewPassword(reply.prfOutput, salt.bytes(), relyingPartyDomain, credentialText);
    reply.prfOutput.wipe();

    Manifest manifest = enrollmentManifest(relyingPartyDomain, credentialText, salt.bytes(),
                                           std::move(wrap.wrappedPassword), manifestTimestamp(services.clock.date()),
                                           pendingNativeVolumeKind);
    manifest.volumeName = dataVolumeName;
    return {std::move(manifest), std::move(wrap.password)};
}

// Marks, decorates and locks the new data volume; any failure tries one lock
// before it leaves, so the volume is not left open.
void sealDataVolume(DriveSetupServices& services, const APFSVolume& data, const std::string& dataMount)
{
    auto relock = onFailure([&] { lockAPFSVolume(services.tools, data.device); });
    std::string marker = dataMount + "/" + std::string(proofMarkerName);
    services.files.writeFileAtomically(marker, std::string(proofMarkerText));
    protectHiddenFile(services.files, marker);
    setVolumeIcon(services.files, services.paths, services.workspace, services.log, dataMount);
    runTool(services.tools, tools::sync, {});
    lockAPFSVolume(services.tools, data.device);
    relock.dismiss();
}

// What the erase leaves once the two volumes are laid down.
struct DriveLayout {
    std::string bootstrapMount;
    APFSVolume dataVolume; // encrypted, marked and locked
};

// Erases exactly the inspected device, then creates the encrypted data volume
// beside the bootstrap volume the erase made, and seals it.
DriveLayout layOutDrive(DriveSetupServices& services, const DriveSetupRequest& request, const std::string& deviceNode,
                        const SecretBytes& password)
{
    runTool(services.tools, tools::diskutil, {"eraseDisk", "APFS", std::string(bootstrapVolumeName), "GPT", deviceNode});
    std::string container = findAPFSContainer(services.tools, request.wholeDisk);
    APFSVolume bootstrap = bootstrapVolume(services.tools, container);
    std::string bootstrapMount = mountPoint(services.tools, bootstrap.device);
    APFSVolume data = createEncryptedVolume(services.tools, container, request.dataVolumeName, password);
    std::string dataMount = mountPoint(services.tools, data.device);
    sealDataVolume(services, data, dataMount);
    return {std::move(bootstrapMount), std::move(data)};
}

}

DriveSetupServices driveSetupServices(Platform& platform, VolumePromptSuppression& promptSuppression)
{
    DriveVolumeServices volume = driveVolumeServices(platform);
    return {platform.tools,
            platform.files,
            platform.log,
            platform.paths,
            platform.workspace,
            platform.out,
            platform.mainLoop.clock(),
            promptSuppression,
            [&platform](std::span<const std::uint8_t> salt) {
                NativePasskeyCeremony ceremony(platform.mainLoop, platform.ui, platform.passkeys);
                return ceremony.run("enroll", salt, std::nullopt);
            },
            std::move(volume.unwrap),
            [&platform](const SecretBytes& password, const std::string& name, const std::string& uuid) {
                PasswordsHandoffServices handoff {platform.ui,    platform.out,       platform.pasteboard,
                                                  platform.tools, platform.workspace, platform.mainLoop};
                runSecretClipboardFlow(platform.interruption, platform.pasteboard, platform.out,
                                       [&] { offerPasswordsRecoverySave(handoff, password, name, uuid); });
            },
            [&platform](const SecretBytes& password, const std::string& name, const std::string& uuid) {
                runSecretClipboardFlow(platform.interruption, platform.pasteboard, platform.out,
                                       [&] { offerOfflineRecoveryCard(platform.ui, platform.out, password, name, uuid); });
            },
            platform.channels};
}

void initializeDrive(DriveSetupServices& services, const DriveSetupRequest& request)
{
    const std::string& manifestPath = request.manifestPath;
    validateVolumeName(request.dataVolumeName);
    if (isOnRemovableMedia(services.files, services.paths, manifestPath))
        throw ProofError("manifest output must be on the Mac, not on removable media");
    ensureManifestPathFree(services.files, manifestPath);
    services.files.createDirectoryWithDefaultMode(parentDirectory(manifestPath));

    DriveInspection first = inspectWholeDisk(services.tools, request.wholeDisk);
    if (first.confirmationToken != request.confirmationToken)
        throw ProofError("confirmation token does not match the currently attached whole disk");

    // The password inside is zeroed by its destructor on every way out from here.
    Enrollment enrollment = enrollNewPasskey(services, request.dataVolumeName);
    Manifest& manifest = enrollment.manifest;
    writeNewManifest(services.files, manifest, manifestPath);

    // The passkey ceremony took a while: the disk must still be the one agreed to.
    DriveInspection second = inspectWholeDisk(services.tools, request.wholeDisk);
    if (second.confirmationToken != first.confirmationToken)
        throw ProofError("disk identity changed after passkey enrollment; refusing to erase");
    services.out << "PASSKEY ENROLLED \u2014 erasing exact device " << second.deviceNode << '\n';
    services.out.flush();
    DriveLayout layout = layOutDrive(services, request, second.deviceNode, enrollment.password);
    const APFSVolume& data = layout.dataVolume;

    manifest.resourceKind = std::string(nativeVolumeKind);
    manifest.volumeUUID = data.uuid;
    manifest.volumeName = data.name;
    writeManifest(services.files, manifest, manifestPath);
    writeBootstrapFiles(services.files, manifest, layout.bootstrapMount, request.dataVolumeName);
    setVolumeIcon(services.files, services.paths, services.workspace, services.log, layout.bootstrapMount);
    registerDrive(services.files, services.paths, services.promptSuppression, manifest);
    runTool(services.tools, tools::sync, {});

    DriveVolumeServices proof {services.tools,     services.files, services.log,    services.paths,
                               services.workspace, services.out,   services.unwrap, services.channels};
    runNativeUnlockVolume(proof, manifestPath);

    services.offerPasswordsSave(enrollment.password, data.name, data.uuid);
    services.offerRecoveryCard(enrollment.password, data.name, data.uuid);

    services.out << "DRIVE INITIALIZATION PASSED\n"
                 << "Bootstrap volume: FERROLATCH\n"
                 << "Encrypted data volume: " << data.name << " (" << data.uuid << ")\n"
                 << "Local recovery envelope: " << manifestPath << '\n';
    enrollment.password.wipe();
}

void initDriveCommand(Platform& platform, VolumePromptSuppression& promptSuppression,
                      const CommandArguments& arguments)
{
    DriveSetupServices services = driveSetupServices(platform, promptSuppression);
    initializeDrive(services, {arguments.at(0).value, arguments.at(1).value, arguments.at(2).value,
                               arguments.at(3).value});
}

}
