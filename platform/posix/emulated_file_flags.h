#pragma once

// Linux has no BSD file flags. The virtual Mac keeps them in one extended
// attribute per file: the flag bits as decimal ASCII (UF_HIDDEN 0x8000 and
// UF_IMMUTABLE 0x2 are the ones the program sets). The file adapter, ditto and
// the volume store of the stand-in tools all read and write this one format.
namespace ferrolatch::emulated {
inline constexpr const char* fileFlagsAttribute = "user.ferrolatch.flags";
}
