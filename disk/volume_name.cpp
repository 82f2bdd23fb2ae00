#include "disk/volume_name.h"

#include "common/utf8.h"
#include "common/ascii_case.h"
#include "common/errors.h"

#include <algorithm>

namespace ferrolatch {

namespace {

bool isBootstrapName(std::string_view name)
{
    constexpr std::string_view bootstrap = "ferrolatch";
    return std::equal(name.begin(), name.end(), bootstrap.begin(), bootstrap.end(),
                      [](char a, char b) { return asciiLowercase(a) == b; });
}

}

void validateVolumeName(std::string_view name)
{
    auto unsafe = [](char c) { return c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20; };
    // Names become APFS volume and file names, which are Unicode text: bytes
    // that are not UTF-8 make no name.
    if (name.empty() || name.size() > 64 || std::any_of(name.begin(), name.end(), unsafe) || !isValidUTF8(name) ||
        isBootstrapName(name))
        throw ProofError("data volume name must be 1\u201364 safe characters and must not be FERROLATCH");
}

}
