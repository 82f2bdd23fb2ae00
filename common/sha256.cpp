#include "common/sha256.h"

#include "common/errors.h"

#include <openssl/evp.h>

namespace ferrolatch {

SHA256Digest sha256(std::span<const std::uint8_t> bytes)
{
    SHA256Digest digest {};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        throw PlatformError("OpenSSL", 0, "SHA-256 computation failed");
    return digest;
}

SHA256Digest sha256(std::string_view text)
{
    return sha256(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}
