#pragma once

#include "common/secret_bytes.h"

#include <cstdint>
#include <optional>
#include <span>

namespace ferrolatch {

// The general pasteboard, holding plain-text string data. Its contents may be
// a password, so they travel as bytes and are read back only as a secret.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;

    // Removes everything on the pasteboard.
    virtual void clearContents() = 0;
    // Places UTF-8 bytes as the string type; false when the platform refused.
    virtual bool setString(std::span<const std::uint8_t> utf8) = 0;
    // The string now on the pasteboard; absent when it holds none.
    virtual std::optional<SecretBytes> readString() = 0;
};

}
