#include "crypto/manifest_rules.h"

#include "common/constants.h"
#include "common/ascii_case.h"
#include "crypto/volume_uuid.h"
#include "common/errors.h"

namespace ferrolatch {

namespace {

bool isNative(const Manifest& manifest)
{
    return manifest.version == protocolVersion && manifest.relyingPartyID == relyingPartyDomain;
}

bool isBrowser(const Manifest& manifest)
{
    return manifest.version == protocolVersion && manifest.relyingPartyID == localRelyingPartyID;
}

bool hasKind(const Manifest& manifest, std::string_view kind)
{
    return manifest.resourceKind && *manifest.resourceKind == kind;
}

// The verdict is taken before the manifest is moved in: argument order is unspecified.
Manifest acceptIf(bool accepted, Manifest manifest, const char* message)
{
    if (!accepted)
        throw ProofError(message);
    return manifest;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view lowerSuffix)
{
    if (text.size() < lowerSuffix.size())
        return false;
    std::string_view tail = text.substr(text.size() - lowerSuffix.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (asciiLowercase(tail[i]) != lowerSuffix[i])
            return false;
    return true;
}

// A bare file name: the bundle is looked for beside the manifest, never elsewhere.
bool isBareSparsebundleName(const std::optional<std::string>& name)
{
    return name && !name->empty() && name->find('/') == std::string::npos
        && endsWithIgnoringCase(*name, ".sparsebundle");
}

}

Manifest acceptNativeVolumeManifest(Manifest manifest)
{
    bool accepted = isNative(manifest) && hasKind(manifest, nativeVolumeKind) && manifest.volumeUUID
        && manifest.volumeName;
    return acceptIf(accepted, std::move(manifest), "manifest does not identify a native Ferrolatch APFS volume");
}

Manifest loadNativeVolumeManifest(Files& files, const std::string& path)
{
    return acceptNativeVolumeManifest(readManifest(files, path));
}

Manifest acceptBrowserVolumeManifest(Manifest manifest)
{
    bool accepted = isBrowser(manifest) && hasKind(manifest, browserVolumeKind) && manifest.volumeUUID;
    return acceptIf(accepted, std::move(manifest), "manifest does not identify a supported APFS volume");
}

Manifest acceptBrowserRecoveryManifest(Manifest manifest)
{
    bool accepted = isBrowser(manifest) && hasKind(manifest, browserVolumeKind) && manifest.volumeUUID
        && manifest.volumeName;
    return acceptIf(accepted, std::move(manifest), "manifest does not identify a supported APFS volume");
}

Manifest acceptNativeImageManifest(Manifest manifest)
{
    bool accepted = isNative(manifest) && hasKind(manifest, nativeImageKind);
    return acceptIf(accepted, std::move(manifest), "manifest does not identify a native Ferrolatch image proof");
}

Manifest acceptNativeSparsebundleManifest(Manifest manifest)
{
    bool accepted = isNative(manifest) && hasKind(manifest, nativeSparsebundleKind)
        && isBareSparsebundleName(manifest.imageName) && manifest.volumeName;
    return acceptIf(accepted, std::move(manifest), "manifest does not identify a native Ferrolatch sparsebundle");
}

Manifest acceptBrowserImageManifest(Manifest manifest)
{
    bool accepted = isBrowser(manifest);
    return acceptIf(accepted, std::move(manifest), "unsupported Ferrolatch proof manifest");
}

Manifest acceptNativeCredentialManifest(Manifest manifest)
{
    bool accepted = isNative(manifest);
    return acceptIf(accepted, std::move(manifest), "credential manifest is not a native Ferrolatch manifest");
}

Manifest acceptBrowserCredentialManifest(Manifest manifest)
{
    bool accepted = isBrowser(manifest);
    return acceptIf(accepted, std::move(manifest), "unsupported credential source manifest");
}

bool isRegistrableManifest(const Manifest& manifest)
{
    return isNative(manifest) && hasKind(manifest, nativeVolumeKind) && manifest.volumeUUID
        && canonicalVolumeUUID(*manifest.volumeUUID);
}

Manifest acceptRegistrableManifest(Manifest manifest)
{
    bool accepted = isRegistrableManifest(manifest);
    return acceptIf(accepted, std::move(manifest), "refusing to register an invalid Ferrolatch volume manifest");
}

}
