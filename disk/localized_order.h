#pragma once

#include <string_view>

namespace ferrolatch {

// Finder-like ordering of names: letters compare without regard to case and
// runs of digits compare by their numeric value, so "disk4" precedes "disk10"
// and "Volume 2" precedes "volume 10". Returns <0, 0 or >0. Names that differ
// only in letter case or in leading zeros compare equal, so a stable sort keeps
// their original order.
int localizedStandardCompare(std::string_view left, std::string_view right);

inline bool localizedStandardLess(std::string_view left, std::string_view right)
{
    return localizedStandardCompare(left, right) < 0;
}

}
