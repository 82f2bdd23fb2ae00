#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// Unpadded base64 with "-" and "_": every byte value a manifest or the browser
// ceremony carries is written this way.
std::string base64URLEncode(std::span<const std::uint8_t> bytes);
std::string base64URLEncode(std::string_view bytes);

// Accepts base64url or standard base64, with or without its "=" padding.
// Anything else (a foreign character, a misplaced "=", a length that leaves a
// remainder of 1) gives nothing.
std::optional<std::vector<std::uint8_t>> base64URLDecode(std::string_view text);

// The same two directions for values that are secrets on either side (a
// password's text, a PRF output), so no ordinary string ever holds them.
SecretBytes base64URLEncodeSecret(std::span<const std::uint8_t> bytes);
std::optional<SecretBytes> base64URLDecodeSecret(std::span<const std::uint8_t> text);

// What callers report when a base64url field gives nothing.
inline constexpr const char* malformedBase64URLMessage = "browser returned malformed Base64URL";

}
