// Base64url texts come from manifests and from the browser: decoding must
// never read past its input, and the string and secret forms must agree.
#include "crypto/base64url.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> bytes(data, size);
    std::string_view text(reinterpret_cast<const char*>(data), size);

    auto decoded = base64URLDecode(text);
    auto secret = base64URLDecodeSecret(bytes);
    if (decoded.has_value() != secret.has_value())
        std::abort();
    if (decoded) {
        if (size % 4 == 1 || !secret->equals(*decoded))
            std::abort();
        auto again = base64URLDecode(base64URLEncode(*decoded));
        if (!again || *again != *decoded)
            std::abort();
    }

    // Any bytes encode to a text that decodes back to them.
    std::string encoded = base64URLEncode(bytes);
    auto back = base64URLDecode(encoded);
    if (!back || !std::equal(back->begin(), back->end(), bytes.begin(), bytes.end()))
        std::abort();
    return 0;
}
