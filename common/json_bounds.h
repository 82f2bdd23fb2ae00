#pragma once

#include <cstddef>
#include <string_view>

namespace ferrolatch {

// Every JSON file the program reads from outside (a manifest, which may sit
// on any inserted drive; a registry entry; the UI script) is small: a real
// manifest is under 1 KiB. Larger or deeper input is refused before the
// decoder sees it, so a hostile file cannot exhaust memory or the stack.
inline constexpr std::size_t outsideJSONByteLimit = 64 * 1024;
inline constexpr int outsideJSONDepthLimit = 32;

// Whether arrays and objects nest more than `limit` levels deep, counting
// brackets outside strings. Linear, with no memory beyond a counter.
bool jsonNestsDeeperThan(std::string_view text, int limit);

}
