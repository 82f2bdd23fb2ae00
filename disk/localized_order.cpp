#include "disk/localized_order.h"

#include "common/ascii_case.h"

namespace ferrolatch {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The digits starting at index, without their leading zeros; index moves past them.
std::string_view digitRun(std::string_view text, std::size_t& index)
{
    std::size_t start = index;
    while (index < text.size() && isDigit(text[index]))
        ++index;
    std::string_view run = text.substr(start, index - start);
    std::size_t firstSignificant = run.find_first_not_of('0');
    return firstSignificant == std::string_view::npos ? std::string_view() : run.substr(firstSignificant);
}

}

int localizedStandardCompare(std::string_view left, std::string_view right)
{
    std::size_t l = 0;
    std::size_t r = 0;
    while (l < left.size() && r < right.size()) {
        if (isDigit(left[l]) && isDigit(right[r])) {
            std::string_view leftNumber = digitRun(left, l);
            std::string_view rightNumber = digitRun(right, r);
            // Without leading zeros, a longer run is a larger number.
            if (leftNumber.size() != rightNumber.size())
                return leftNumber.size() < rightNumber.size() ? -1 : 1;
            if (int order = leftNumber.compare(rightNumber); order != 0)
                return order < 0 ? -1 : 1;
            continue;
        }
        // Bytes beyond ASCII compare as unsigned, which keeps UTF-8 in code-point order.
        auto leftByte = static_cast<unsigned char>(asciiLowercase(left[l]));
        auto rightByte = static_cast<unsigned char>(asciiLowercase(right[r]));
        if (leftByte != rightByte)
            return leftByte < rightByte ? -1 : 1;
        ++l;
        ++r;
    }
    if (l < left.size())
        return 1;
    if (r < right.size())
        return -1;
    return 0;
}

}
