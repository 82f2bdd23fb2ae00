#pragma once

#include <plist/plist.h>

#include <string_view>

namespace ferrolatch {

// Reads a binary property list ("bplist00", the form macOS writes its
// preferences in) into a libplist tree, without libplist's own binary reader:
// every offset, length and reference is checked against the bytes, nesting is
// bounded by deepestNesting, and the objects built (a shared object counts
// each time it is used) by a fixed budget, so a hostile file fails instead of
// exhausting the stack or memory. Null, fill and set objects, strings holding
// a NUL and UTF-16 that is not well formed are refused. Null on any failure;
// the caller frees the tree.
plist_t parseBinaryPropertyList(std::string_view bytes, int deepestNesting);

}
