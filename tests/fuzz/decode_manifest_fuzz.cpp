// Manifests come from removable drives and from whoever hands us a path: the
// decoder must turn anything into a Manifest or its own error, and what it
// accepts must encode and decode back to the same record and bytes.
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "common/errors.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    try {
        manifest = decodeManifest(input);
    } catch (const PlatformError&) {
        return 0;
    } catch (const ProofError&) {
        return 0; // too large or too deep: refused before decoding
    }
    std::string encoded = encodeManifest(manifest);
    Manifest again = decodeManifest(encoded);
    if (!(again == manifest) || encodeManifest(again) != encoded)
        std::abort();

    for (auto accept : {acceptNativeVolumeManifest, acceptBrowserVolumeManifest, acceptBrowserRecoveryManifest,
                        acceptNativeImageManifest, acceptNativeSparsebundleManifest, acceptBrowserImageManifest,
                        acceptNativeCredentialManifest, acceptBrowserCredentialManifest, acceptRegistrableManifest}) {
        try {
            if (!(accept(manifest) == manifest))
                std::abort();
        } catch (const ProofError&) {
        }
    }
    return 0;
}
