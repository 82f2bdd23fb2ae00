#pragma once

#include "platform/pasteboard.h"

#include <string>

namespace ferrolatch {

// The virtual Mac's general pasteboard: one file in the sysroot holding the
// string data exactly, mode 0600; no file means an empty pasteboard. Tests
// read it to see what the program left behind.
class MacsimPasteboard final : public Pasteboard {
public:
    explicit MacsimPasteboard(std::string sysroot);

    void clearContents() override;
    bool setString(std::span<const std::uint8_t> utf8) override;
    std::optional<SecretBytes> readString() override;

    static std::string pasteboardFile(const std::string& sysroot)
    {
        return sysroot + "/private/var/run/pasteboard/general";
    }

private:
    std::string m_file;
};

}
