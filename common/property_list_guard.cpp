#include "common/property_list_guard.h"

#include <algorithm>
#include <cstddef>

namespace ferrolatch {

namespace {

// The deepest nesting of <array> and <dict> elements; comments, CDATA sections
// and declarations are skipped as the parser skips them.
int xmlNesting(std::string_view xml)
{
    auto skipPast = [&](std::size_t from, std::string_view end) {
        std::size_t found = xml.find(end, from);
        return found == std::string_view::npos ? xml.size() : found + end.size();
    };
    int depth = 0;
    int deepest = 0;
    std::size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        std::string_view rest = xml.substr(at + 1);
        if (rest.starts_with("!--")) {
            at = skipPast(at + 4, "-->");
        } else if (rest.starts_with("![CDATA[")) {
            at = skipPast(at + 9, "]]>");
        } else if (rest.starts_with("?") || rest.starts_with("!")) {
            at = skipPast(at + 1, ">");
        } else if (rest.starts_with("/array") || rest.starts_with("/dict")) {
            depth = depth > 0 ? depth - 1 : 0;
            at += 1;
        } else if (rest.starts_with("array") || rest.starts_with("dict")) {
            std::size_t close = rest.find('>');
            if (close == std::string_view::npos || close == 0 || rest[close - 1] != '/')
                deepest = std::max(deepest, ++depth);
            at += 1;
        } else {
            at += 1;
        }
    }
    return deepest;
}

}

bool isSafePropertyListXML(std::string_view bytes, int deepestNesting)
{
    return !bytes.starts_with("bplist") && bytes.find('\0') == std::string_view::npos
        && xmlNesting(bytes) <= deepestNesting;
}

}
