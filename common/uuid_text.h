#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

using UUIDBytes = std::array<std::uint8_t, 16>;

// The sixteen bytes of 8-4-4-4-12 hexadecimal text in either case; nothing for
// any other text.
std::optional<UUIDBytes> uuidBytesFromText(std::string_view text);

// The 8-4-4-4-12 upper-case text of sixteen bytes.
std::string uppercaseUUIDText(const UUIDBytes& bytes);

}
