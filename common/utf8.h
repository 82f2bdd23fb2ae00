#pragma once

#include <string_view>

namespace ferrolatch {

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isValidUTF8(std::string_view text);

}
