#pragma once

#include <string_view>

namespace ferrolatch {

// A data volume name is 1 to 64 bytes of UTF-8 without "/", ":" or control
// characters, and is not "FERROLATCH" in any letter case (that name belongs to
// the bootstrap volume). Fails with one message for every rule.
void validateVolumeName(std::string_view name);

}
