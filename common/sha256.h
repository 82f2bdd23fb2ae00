#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace ferrolatch {

using SHA256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes held in memory. A failure of the library is a PlatformError.
SHA256Digest sha256(std::span<const std::uint8_t> bytes);
SHA256Digest sha256(std::string_view text);

}
