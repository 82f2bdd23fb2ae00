#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ferrolatch {

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// Decodes the code point at `at` and moves past it, or gives nothing (and
// leaves `at`) for a malformed sequence.
std::optional<char32_t> decodeUTF8CodePoint(std::span<const std::uint8_t> bytes, std::size_t& at);

bool isValidUTF8(std::string_view text);

}
