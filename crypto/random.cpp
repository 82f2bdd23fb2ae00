#include "crypto/random.h"

#include "common/errors.h"

#include <algorithm>
#include <climits>
#include <openssl/rand.h>
#include <string>

namespace ferrolatch {

namespace detail {

// OpenSSL has no status of its own; a failure is reported as the Security
// framework's internal-component error, the closest status a Mac would give.
constexpr int errSecInternalComponent = -2070;

int systemRandomGenerator(std::span<std::uint8_t> buffer)
{
    std::size_t done = 0;
    while (done < buffer.size()) {
        int chunk = static_cast<int>(std::min<std::size_t>(buffer.size() - done, INT_MAX));
        if (RAND_bytes(buffer.data() + done, chunk) != 1)
            return errSecInternalComponent;
        done += static_cast<std::size_t>(chunk);
    }
    return 0;
}

SecretBytes randomBytes(std::size_t count, const RandomGenerator& generator)
{
    SecretBytes bytes(count);
    int status = generator(bytes.mutableBytes());
    if (status != 0)
        throw ProofError("secure random generation failed: " + std::to_string(status));
    return bytes;
}

}

SecretBytes randomBytes(std::size_t count)
{
    return detail::randomBytes(count, detail::systemRandomGenerator);
}

}
