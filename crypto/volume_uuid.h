#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// Parses a UUID in the platform's canonical text form (hexadecimal groups
// 8-4-4-4-12 separated by hyphens, either letter case) and returns it in the
// one form the program compares: 36 characters, upper case. Anything else
// (braces, spaces, missing hyphens, other lengths) gives nothing.
std::optional<std::string> canonicalVolumeUUID(std::string_view text);

}
