#pragma once

#include "platform/pasteboard.h"

namespace ferrolatch {

// The general pasteboard as the desktop's clipboard. The text placed stays in
// a SecretBytes of our own until the clipboard lets go of it; Qt and the
// receiving application copy it only while a paste is being served.
class QtPasteboard final : public Pasteboard {
public:
    QtPasteboard();

    void clearContents() override;
    bool setString(std::span<const std::uint8_t> utf8) override;
    std::optional<SecretBytes> readString() override;
};

}
