#include "common/property_list_guard.h"

#include "common/utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ferrolatch {

namespace {

// Whether a character reference ("&#xD800;", "&#55296;") starting at `at`
// names a Unicode scalar value other than NUL. Lone surrogates and numbers past
// U+10FFFF have no UTF-8 form; a Mac's parser refuses them. Anything that is
// not a complete reference is left to the parser.
bool isAcceptableCharacterReference(std::string_view xml, std::size_t at)
{
    std::size_t digits = at + 2;
    unsigned base = 10;
    if (digits < xml.size() && xml[digits] == 'x') {
        base = 16;
        ++digits;
    }
    std::uint32_t value = 0;
    std::size_t end = digits;
    for (; end < xml.size() && xml[end] != ';'; ++end) {
        char c = xml[end];
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return true;
        value = value * base + digit;
        if (value > 0x10FFFF)
            return false;
    }
    if (end == xml.size() || end == digits)
        return true;
    return value != 0 && (value < 0xD800 || value > 0xDFFF);
}

struct Scan {
    int deepestNesting = 0;
    bool badCharacterReference = false;
};

// The deepest nesting of <array> and <dict> elements and whether the text
// holds a character reference to no character; comments, CDATA sections and
// declarations are skipped as the parser skips them.
Scan scanXML(std::string_view xml)
{
    auto skipPast = [&](std::size_t from, std::string_view end) {
        std::size_t found = xml.find(end, from);
        return found == std::string_view::npos ? xml.size() : found + end.size();
    };
    Scan scan;
    int depth = 0;
    std::size_t at = 0;
    while ((at = xml.find_first_of("<&", at)) != std::string_view::npos) {
        if (xml[at] == '&') {
            if (xml.substr(at).starts_with("&#") && !isAcceptableCharacterReference(xml, at))
                scan.badCharacterReference = true;
            at += 1;
            continue;
        }
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
                scan.deepestNesting = std::max(scan.deepestNesting, ++depth);
            at += 1;
        } else {
            at += 1;
        }
    }
    return scan;
}

}

bool isSafePropertyListXML(std::string_view bytes, int deepestNesting)
{
    if (bytes.starts_with("bplist") || bytes.find('\0') != std::string_view::npos || !isValidUTF8(bytes))
        return false;
    Scan scan = scanXML(bytes);
    return scan.deepestNesting <= deepestNesting && !scan.badCharacterReference;
}

}
