#pragma once

#include <string_view>

namespace ferrolatch {

// Whether XML property-list bytes are safe to hand to libplist. Binary lists
// are refused (their objects can be shared and nested without bound), so is a
// raw NUL (libplist aborts the process on one inside a string or key), and so
// is <array>/<dict> nesting deeper than deepestNesting (its parser recurses per
// level and would overflow the stack). Strings are UTF-8 as on a Mac: invalid
// bytes and character references to surrogates or NUL are refused.
bool isSafePropertyListXML(std::string_view bytes, int deepestNesting);

}
