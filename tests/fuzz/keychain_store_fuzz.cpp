// The virtual Mac's keychain file is a file any process of the sysroot may
// damage: decoding must fail cleanly with the keychain's status, and what it
// accepts must survive another round through the encoder unchanged.
#include "platform/macsim/keychain_store.h"

#include <cstdint>
#include <cstdlib>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view file(reinterpret_cast<const char*>(data), size);
    try {
        std::string once = encodeKeychainFile(decodeKeychainFile(file));
        if (encodeKeychainFile(decodeKeychainFile(once)) != once)
            std::abort();
    } catch (const KeychainStatusFailure& failure) {
        if (failure.status != errSecInvalidKeychain)
            std::abort();
    }
    return 0;
}
