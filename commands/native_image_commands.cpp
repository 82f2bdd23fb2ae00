#include "commands/native_image_commands.h"

#include "commands/proof_image.h"

#include "common/constants.h"
#include "ceremony/native_passkey_ceremony.h"
#include "common/path_text.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/disk_images.h"
#include "disk/system_tools.h"
#include "disk/volume_files.h"
#include "common/errors.h"
#include "common/on_failure.h"


namespace ferrolatch {

namespace {

enum class Container { ProofImage, Sparsebundle };

Bytes decodeField(const std::string& text)
{
    auto bytes = base64URLDecode(text);
    if (!bytes)
        throw ProofError(malformedBase64URLMessage);
    return std::move(*bytes);
}

// A sparse bundle, which stays in use, carries the protected hidden marker,
// flushed before the detach.
void writeBundleMarker(Platform& platform, const std::string& mountPoint)
{
    std::string markerPath = mountPoint + "/" + std::string(proofMarkerName);
    platform.files.writeFileAtomically(markerPath, std::string(proofMarkerText));
    protectHiddenFile(platform.files, markerPath);
    runTool(platform.tools, tools::sync, {});
}

struct Enrollment {
    Container container;
    std::string containerPath;
    std::string manifestPath;
    std::string resourceKind;
    // native-enroll-bundle: the credential manifest's identifier, text and
    // bytes; absent, a new passkey is registered.
    std::optional<std::string> credentialText {};
    Bytes credential {};
    std::string size {};       // sparse bundle only
    std::string volumeName {}; // sparse bundle only
};

void enroll(Platform& platform, const Enrollment& job)
{
    SecretBytes salt = randomBytes(prfSaltSize);

    NativeReply reply;
    if (job.credentialText) {
        reply = assertNativeCredential(platform.mainLoop, platform.ui, platform.passkeys, salt.bytes(), job.credential);
    } else {
        NativePasskeyCeremony ceremony(platform.mainLoop, platform.ui, platform.passkeys);
        reply = ceremony.run("enroll", salt.bytes(), std::nullopt);
    }
    std::string credentialText = job.credentialText ? *job.credentialText : base64URLEncode(reply.credentialID);

    NewPasswordWrap wrap = wrapNewPassword(reply.prfOutput, salt.bytes(), relyingPartyDomain, credentialText);
    reply.prfOutput.wipe();
    SecretBytes password = std::move(wrap.password);

    if (job.container == Container::ProofImage) {
        createMarkedProofImage(platform.tools, platform.files, job.containerPath, password);
    } else {
        createEncryptedSparsebundle(platform.files, platform.tools, job.containerPath, job.size, job.volumeName,
                                    password);
        ImageAttachment attachment = attachEncryptedImage(platform.tools, job.containerPath, password);
        auto detach = onFailure([&] { detachImage(platform.tools, attachment.device); });
        writeBundleMarker(platform, attachment.mountPoint);
        detachImage(platform.tools, attachment.device);
        detach.dismiss();
    }
    password.wipe();

    Manifest manifest = enrollmentManifest(relyingPartyDomain, credentialText, salt.bytes(),
                                           std::move(wrap.wrappedPassword),
                                           manifestTimestamp(platform.mainLoop.clock().date()), job.resourceKind);
    if (job.container == Container::Sparsebundle) {
        manifest.volumeName = job.volumeName;
        manifest.imageName = lastPathComponent(job.containerPath);
    }
    writeNewManifest(platform.files, manifest, job.manifestPath);
}

enum class AfterUnlock { Detach, LeaveMounted };

// Attaches the sparse bundle with the manifest's password and checks its
// hidden marker; returns the attachment.
ImageAttachment unlockBundle(Platform& platform, const std::string& bundle, const Manifest& manifest,
                             AfterUnlock after)
{
    SecretBytes password = unwrapPasswordWithPasskey(platform.mainLoop, platform.ui, platform.passkeys, manifest);
    ImageAttachment attachment = attachEncryptedImage(platform.tools, bundle, password);
    password.wipe();
    ensureProofMarker(platform.files, platform.log, attachment.mountPoint);

    if (after == AfterUnlock::Detach) {
        // A failed detach is tried once more before its error is reported.
        auto retry = onFailure([&] { detachImage(platform.tools, attachment.device); });
        detachImage(platform.tools, attachment.device);
        retry.dismiss();
    }
    return attachment;
}

Manifest loadBundleManifest(Platform& platform, const std::string& bundlePath, const std::string& manifestPath)
{
    Manifest manifest = loadNativeSparsebundleManifest(platform.files, manifestPath);
    if (lastPathComponent(bundlePath) != manifest.imageName)
        throw ProofError("sparsebundle name does not match its manifest");
    return manifest;
}

}

void nativeEnrollCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& image = arguments.at(0).value;
    const std::string& manifestPath = arguments.at(1).value;
    if (platform.files.exists(image))
        throw ProofError("refusing to replace existing image at " + image);
    ensureManifestPathFree(platform.files, manifestPath);
    platform.files.createDirectoryWithDefaultMode(parentDirectory(image));

    enroll(platform, {.container = Container::ProofImage,
                      .containerPath = image,
                      .manifestPath = manifestPath,
                      .resourceKind = std::string(nativeImageKind)});

    platform.out << "NATIVE ENROLL PROOF PASSED\n"
                 << "Created encrypted APFS image: " << image << '\n'
                 << "Created non-secret native wrap manifest: " << manifestPath << '\n';
}

void nativeEnrollBundleCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& credentialManifestPath = arguments.at(0).value;
    const std::string& bundle = arguments.at(1).value;
    const std::string& manifestPath = arguments.at(2).value;
    ensureManifestPathFree(platform.files, manifestPath);

    Manifest credentialManifest = acceptNativeCredentialManifest(readManifest(platform.files, credentialManifestPath));
    Bytes credential = decodeField(credentialManifest.credentialID);

    enroll(platform, {.container = Container::Sparsebundle,
                      .containerPath = bundle,
                      .manifestPath = manifestPath,
                      .resourceKind = std::string(nativeSparsebundleKind),
                      .credentialText = credentialManifest.credentialID,
                      .credential = credential,
                      .size = arguments.at(3).value,
                      .volumeName = arguments.at(4).value});

    platform.out << "NATIVE SPARSEBUNDLE ENROLL PROOF PASSED\n"
                 << "Created encrypted APFS sparsebundle: " << bundle << '\n'
                 << "Created non-secret native wrap manifest: " << manifestPath << '\n';
}

void nativeUnlockCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& image = arguments.at(0).value;
    Manifest manifest = acceptNativeImageManifest(readManifest(platform.files, arguments.at(1).value));
    verifyMarkedProofImage(platform.tools, platform.files, image,
                           unwrapPasswordWithPasskey(platform.mainLoop, platform.ui, platform.passkeys, manifest),
                           "native proof image did not contain the exact marker");
    platform.out << "NATIVE UNLOCK PROOF PASSED\n"
                 << "AuthenticationServices PRF mounted, verified, and detached the encrypted APFS image.\n";
}

void nativeUnlockBundleCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& bundle = arguments.at(0).value;
    Manifest manifest = loadBundleManifest(platform, bundle, arguments.at(1).value);
    unlockBundle(platform, bundle, manifest, AfterUnlock::Detach);
    platform.out << "NATIVE SPARSEBUNDLE UNLOCK PROOF PASSED\n";
}

void nativeMountBundleCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& bundle = arguments.at(0).value;
    Manifest manifest = loadBundleManifest(platform, bundle, arguments.at(1).value);
    ImageAttachment attachment = unlockBundle(platform, bundle, manifest, AfterUnlock::LeaveMounted);
    platform.out << "NATIVE SPARSEBUNDLE MOUNTED\n"
                 << "Mount point: " << attachment.mountPoint << '\n';
}

}
