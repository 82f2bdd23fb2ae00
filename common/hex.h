#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ferrolatch {

// Bytes as two lower-case hex digits each, no separators.
std::string hexString(std::span<const std::uint8_t> bytes);

}
