#pragma once

#include "common/secret_bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ferrolatch {

// Where each user-perceived character (extended grapheme cluster) of UTF-8
// text begins, followed by the text's length; absent when the bytes are not
// well-formed UTF-8 (overlong forms, surrogates and values past U+10FFFF
// included). Empty text gives just {0}.
std::optional<std::vector<std::size_t>> graphemeBoundaries(std::span<const std::uint8_t> utf8);

// The recovery password cut into groups of four characters from the start,
// joined by single spaces. Fails with "recovery password was not valid UTF-8"
// for bytes that are not UTF-8 and for an empty password.
SecretBytes groupedRecoveryKey(const SecretBytes& password);

// The last eight characters of the password, which the user types back to
// prove a copy. Fails with "recovery password was not valid UTF-8" for bytes
// that are not UTF-8 and for a password of fewer than eight characters.
SecretBytes recoveryConfirmationCode(const SecretBytes& password);

inline constexpr const char* invalidRecoveryPasswordMessage = "recovery password was not valid UTF-8";

}
