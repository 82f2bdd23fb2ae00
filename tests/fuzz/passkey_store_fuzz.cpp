// The virtual Mac's passkey store is a file any process of the sysroot may
// damage: decoding must fail cleanly, and what it accepts must encode back to
// the same bytes.
#include "common/errors.h"
#include "platform/macsim/passkey_store.h"

#include <cstdint>
#include <cstdlib>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> file(data, size);
    try {
        auto passkeys = decodePasskeyStore(file);
        SecretBytes again = encodePasskeyStore(passkeys);
        if (!again.equals(file))
            std::abort();
    } catch (const ProofError&) {
    }
    return 0;
}
