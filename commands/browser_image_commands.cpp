#include "commands/browser_commands.h"

#include "commands/proof_image.h"
#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/path_text.h"
#include "crypto/base64url.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/disk_images.h"
#include "disk/system_tools.h"
#include "platform/platform.h"

namespace ferrolatch {

BrowserCeremonyServices browserCeremonyServices(Platform& platform)
{
    return {platform.loopback,
            [&platform](const std::string& url) { runTool(platform.tools, tools::open, {"-a", "Safari", url}); },
            platform.out, platform.mainLoop.clock(), ceremonyTimeout};
}

SecretBytes browserPRFOutput(const BrowserReply& reply)
{
    auto prf = base64URLDecodeSecret(reply.prfOutput.bytes());
    if (!prf)
        throw ProofError(malformedBase64URLMessage);
    return std::move(*prf);
}

void enrollCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& image = arguments.at(0).value;
    const std::string& manifestPath = arguments.at(1).value;
    if (platform.files.exists(image))
        throw ProofError("refusing to replace existing image at " + image);
    ensureManifestPathFree(platform.files, manifestPath);
    platform.files.createDirectoryWithDefaultMode(parentDirectory(image));

    SecretBytes salt = randomBytes(prfSaltSize);
    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    BrowserReply reply = runBrowserCeremony(ceremony, "enroll", salt.bytes(), std::nullopt);
    SecretBytes prfOutput = browserPRFOutput(reply);

    NewPasswordWrap wrap = wrapNewPassword(prfOutput, salt.bytes(), localRelyingPartyID, reply.credentialID);
    prfOutput.wipe();
    SecretBytes password = std::move(wrap.password);

    createMarkedProofImage(platform.tools, platform.files, image, password);
    password.wipe();

    Manifest manifest = enrollmentManifest(localRelyingPartyID, reply.credentialID, salt.bytes(),
                                           std::move(wrap.wrappedPassword),
                                           manifestTimestamp(platform.mainLoop.clock().date()), browserImageKind);
    writeNewManifest(platform.files, manifest, manifestPath);

    platform.out << "ENROLL PROOF PASSED\n"
                 << "Created encrypted APFS image: " << image << '\n'
                 << "Created non-secret wrap manifest: " << manifestPath << '\n';
}

void unlockCommand(Platform& platform, const CommandArguments& arguments)
{
    const std::string& image = arguments.at(0).value;
    Manifest manifest = acceptBrowserImageManifest(readManifest(platform.files, arguments.at(1).value));
    auto salt = base64URLDecode(manifest.prfSalt);
    if (!salt || !base64URLDecode(manifest.wrappedPassword))
        throw ProofError(malformedBase64URLMessage);

    BrowserCeremonyServices ceremony = browserCeremonyServices(platform);
    BrowserReply reply = runBrowserCeremony(ceremony, "unlock", *salt, manifest.credentialID);
    SecretBytes prfOutput = browserPRFOutput(reply);
    SecretBytes password = openWrappedPassword(manifest, prfOutput, localRelyingPartyID);
    prfOutput.wipe();

    verifyMarkedProofImage(platform.tools, platform.files, image, std::move(password),
                           "mounted image did not contain the exact proof marker");

    platform.out << "UNLOCK PROOF PASSED\n"
                 << "The passkey-derived unwrap mounted, verified, and detached the encrypted APFS image.\n";
}

}
