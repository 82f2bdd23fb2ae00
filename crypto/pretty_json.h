#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace ferrolatch {

// JSON text in the form the Mac's serializer writes with pretty printing,
// sorted keys and unescaped slashes: one member per line, two spaces per
// level, " : " after each key, non-ASCII left as UTF-8, no final line feed.
// Empty containers print as "[\n\n]" and "{\n\n}", as the Mac prints them.
// Fails with a PlatformError for a string that is not UTF-8, a number that is
// not finite, or binary data, none of which the Mac's serializer accepts.
std::string encodePrettyJSON(const nlohmann::json& value);

}
