#pragma once

#include <cstdint>
#include <string>

// Linux has no BSD file flags. The virtual Mac keeps them in one extended
// attribute per file: the flag bits as decimal ASCII (UF_HIDDEN 0x8000 and
// UF_IMMUTABLE 0x2 are the ones the program sets). The file adapter, ditto and
// the volume store of the stand-in tools all read and write this one format.
// A Mac build reads and sets st_flags instead and has no such file.
namespace ferrolatch::emulated {

inline constexpr const char* fileFlagsAttribute = "user.ferrolatch.flags";

// The flags of a path; a file without the attribute, or a file system or link
// that cannot carry one, has none. Throws PlatformError on other failures.
std::uint32_t readFileFlags(const std::string& path, bool followLinks);

// Sets exactly these flags (none removes the attribute), as the file's owner
// may on a Mac whatever the file's mode. Throws PlatformError on failure.
void writeFileFlags(const std::string& path, std::uint32_t flags);

}
