#pragma once

#include <string>
#include <string_view>

namespace ferrolatch {

// Percent-encodes every byte but the unreserved characters of a URL (ASCII
// letters, digits, "-", ".", "_" and "~") and those in `alsoKept` (such as
// "/" in a path), with upper-case digits.
std::string percentEncoded(std::string_view text, std::string_view alsoKept = {});

// The bytes of percent-encoded text; an escape that is not two hex digits
// stays as written.
std::string percentDecoded(std::string_view text);

}
