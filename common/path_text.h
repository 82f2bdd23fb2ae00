#pragma once

#include <string>
#include <string_view>

namespace ferrolatch {

// Paths as text, the way the Mac's path APIs read them: trailing slashes do
// not count, and nothing touches the file system.
std::string lastPathComponent(std::string_view path);
// "/" for a top-level item, "." for a bare name.
std::string parentDirectory(std::string_view path);
// An absolute path in the standard form URLs take: repeated slashes and "."
// dropped, each ".." removing the component before it, no trailing slash.
std::string standardizedPath(std::string_view absolutePath);

}
