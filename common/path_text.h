#pragma once

#include <string>
#include <string_view>

namespace ferrolatch {

// Paths as text, the way the Mac's path APIs read them: trailing slashes do
// not count, and nothing touches the file system.
std::string lastPathComponent(std::string_view path);
// "/" for a top-level item, "." for a bare name.
std::string parentDirectory(std::string_view path);
// An absolute path normalised by its text alone: empty and "." components
// dropped, each ".." removing the component before it (none above "/").
// Symbolic links are not resolved; nothing needs to exist.
std::string lexicallyNormalizedPath(std::string_view absolutePath);

}
