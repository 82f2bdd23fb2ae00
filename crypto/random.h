#pragma once

#include "common/secret_bytes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace ferrolatch {

// Bytes from the cryptographically secure generator. A failing generator gives
// the ProofError "secure random generation failed: " and its status.
SecretBytes randomBytes(std::size_t count);

namespace detail {
// A generator fills the buffer and returns a status; zero means success.
using RandomGenerator = std::function<int(std::span<std::uint8_t>)>;
int systemRandomGenerator(std::span<std::uint8_t> buffer);
SecretBytes randomBytes(std::size_t count, const RandomGenerator& generator);
}

}
