#pragma once

#include "crypto/secret_bytes.h"

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

// The pasteboard of a Platform built without one: nothing can be placed.
class NoPasteboard final : public Pasteboard {
public:
    void clearContents() override {}
    bool setString(std::span<const std::uint8_t>) override { return false; }
    std::optional<SecretBytes> readString() override { return std::nullopt; }
};

inline Pasteboard& unavailablePasteboard()
{
    static NoPasteboard none;
    return none;
}

}
