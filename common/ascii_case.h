#pragma once

#include <string>
#include <string_view>

namespace ferrolatch {

// Folds only A to Z: the names compared without case here (file extensions,
// the bootstrap volume's name, disk identifiers) differ in ASCII letters.
inline char asciiLowercase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Upper case as the system gives UUIDs: only a to z change.
inline std::string asciiUppercased(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

}
