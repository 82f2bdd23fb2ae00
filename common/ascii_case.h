#pragma once

namespace ferrolatch {

// Folds only A to Z: the names compared without case here (file extensions,
// the bootstrap volume's name, disk identifiers) differ in ASCII letters.
inline char asciiLowercase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}
