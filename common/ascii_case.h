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

inline std::string asciiLowercased(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = asciiLowercase(c);
    return lower;
}

inline bool endsWithIgnoringASCIICase(std::string_view text, std::string_view suffix)
{
    if (text.size() < suffix.size())
        return false;
    text.remove_prefix(text.size() - suffix.size());
    for (std::size_t index = 0; index < suffix.size(); ++index)
        if (asciiLowercase(text[index]) != asciiLowercase(suffix[index]))
            return false;
    return true;
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
