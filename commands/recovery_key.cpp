#include "commands/recovery_key.h"

#include "common/utf8.h"
#include "common/errors.h"

#include <algorithm>
#include <iterator>

namespace ferrolatch {

namespace {

enum class Kind { Other, CR, LF, Control, Extend, ZWJ, RegionalIndicator, L, V, T, LV, LVT, Pictographic };

struct Range {
    char32_t first;
    char32_t last;
};

// Marks that attach to the character before them: the combining blocks of the
// common scripts, spacing marks of the Indic scripts, variation selectors,
// emoji modifiers and tags. Not the full property table, but every mark a
// typed or generated password is likely to carry.
constexpr Range extendRanges[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711},
    {0x0730, 0x074A}, {0x07A6, 0x07B0}, {0x07EB, 0x07F3}, {0x0816, 0x082D}, {0x0859, 0x085B},
    {0x08D3, 0x08E1}, {0x08E3, 0x0903}, {0x093A, 0x093C}, {0x093E, 0x094F}, {0x0951, 0x0957},
    {0x0962, 0x0963}, {0x0981, 0x0983}, {0x09BC, 0x09BC}, {0x09BE, 0x09CD}, {0x09D7, 0x09D7},
    {0x09E2, 0x09E3}, {0x0A01, 0x0A03}, {0x0A3C, 0x0A51}, {0x0A70, 0x0A71}, {0x0A75, 0x0A75},
    {0x0A81, 0x0A83}, {0x0ABC, 0x0ABC}, {0x0ABE, 0x0ACD}, {0x0AE2, 0x0AE3}, {0x0B01, 0x0B03},
    {0x0B3C, 0x0B3C}, {0x0B3E, 0x0B57}, {0x0B62, 0x0B63}, {0x0B82, 0x0B82}, {0x0BBE, 0x0BCD},
    {0x0BD7, 0x0BD7}, {0x0C00, 0x0C04}, {0x0C3E, 0x0C56}, {0x0C62, 0x0C63}, {0x0C81, 0x0C83},
    {0x0CBC, 0x0CBC}, {0x0CBE, 0x0CD6}, {0x0CE2, 0x0CE3}, {0x0D00, 0x0D03}, {0x0D3B, 0x0D3C},
    {0x0D3E, 0x0D4D}, {0x0D57, 0x0D57}, {0x0D62, 0x0D63}, {0x0D81, 0x0D83}, {0x0DCA, 0x0DDF},
    {0x0DF2, 0x0DF3}, {0x0E31, 0x0E31}, {0x0E33, 0x0E3A}, {0x0E47, 0x0E4E}, {0x0EB1, 0x0EB1},
    {0x0EB3, 0x0EBC}, {0x0EC8, 0x0ECD}, {0x0F18, 0x0F19}, {0x0F35, 0x0F35}, {0x0F37, 0x0F37},
    {0x0F39, 0x0F39}, {0x0F3E, 0x0F3F}, {0x0F71, 0x0F84}, {0x0F86, 0x0F87}, {0x0F8D, 0x0FBC},
    {0x0FC6, 0x0FC6}, {0x102B, 0x103E}, {0x1056, 0x1059}, {0x105E, 0x1060}, {0x1071, 0x1074},
    {0x1082, 0x108D}, {0x109D, 0x109D}, {0x135D, 0x135F}, {0x1712, 0x1714}, {0x17B4, 0x17D3},
    {0x17DD, 0x17DD}, {0x180B, 0x180D}, {0x18A9, 0x18A9}, {0x1920, 0x193B}, {0x1A17, 0x1A1B},
    {0x1A55, 0x1A7F}, {0x1AB0, 0x1AFF}, {0x1B00, 0x1B04}, {0x1B34, 0x1B44}, {0x1B6B, 0x1B73},
    {0x1B80, 0x1B82}, {0x1BA1, 0x1BAD}, {0x1BE6, 0x1BF3}, {0x1C24, 0x1C37}, {0x1CD0, 0x1CD2},
    {0x1CD4, 0x1CE8}, {0x1CED, 0x1CED}, {0x1CF4, 0x1CF4}, {0x1CF7, 0x1CF9}, {0x1DC0, 0x1DFF},
    {0x200C, 0x200C}, {0x20D0, 0x20FF}, {0x2CEF, 0x2CF1}, {0x2D7F, 0x2D7F}, {0x2DE0, 0x2DFF},
    {0x302A, 0x302F}, {0x3099, 0x309A}, {0xA66F, 0xA672}, {0xA674, 0xA67D}, {0xA69E, 0xA69F},
    {0xA6F0, 0xA6F1}, {0xA802, 0xA802}, {0xA806, 0xA806}, {0xA80B, 0xA80B}, {0xA823, 0xA827},
    {0xA880, 0xA881}, {0xA8B4, 0xA8C5}, {0xA8E0, 0xA8F1}, {0xA926, 0xA92D}, {0xA947, 0xA953},
    {0xA980, 0xA983}, {0xA9B3, 0xA9C0}, {0xAA29, 0xAA36}, {0xAAEB, 0xAAEF}, {0xAAF5, 0xAAF6},
    {0xABE3, 0xABEA}, {0xABEC, 0xABED}, {0xFB1E, 0xFB1E}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFF9E, 0xFF9F}, {0x101FD, 0x101FD}, {0x10A01, 0x10A0F}, {0x10A38, 0x10A3F}, {0x11000, 0x11002},
    {0x11038, 0x11046}, {0x1107F, 0x11082}, {0x110B0, 0x110BA}, {0x11100, 0x11102}, {0x11127, 0x11134},
    {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1D185, 0x1D18B}, {0x1D1AA, 0x1D1AD},
    {0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A}, {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

constexpr Range pictographicRanges[] = {
    {0x00A9, 0x00A9}, {0x00AE, 0x00AE}, {0x203C, 0x203C}, {0x2049, 0x2049}, {0x2122, 0x2122},
    {0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
    {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2}, {0x25AA, 0x25AB},
    {0x25B6, 0x25B6}, {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x27BF}, {0x2934, 0x2935},
    {0x2B05, 0x2B07}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}, {0x3030, 0x3030},
    {0x303D, 0x303D}, {0x3297, 0x3297}, {0x3299, 0x3299}, {0x1F000, 0x1F1E5}, {0x1F200, 0x1F3FA},
    {0x1F400, 0x1FAFF}, {0x1FC00, 0x1FFFD},
};

constexpr bool sortedAndDisjoint(std::span<const Range> ranges)
{
    for (std::size_t index = 0; index < ranges.size(); ++index) {
        if (ranges[index].first > ranges[index].last)
            return false;
        if (index > 0 && ranges[index - 1].last >= ranges[index].first)
            return false;
    }
    return true;
}
static_assert(sortedAndDisjoint(extendRanges), "the lookup below needs ordered ranges");
static_assert(sortedAndDisjoint(pictographicRanges), "the lookup below needs ordered ranges");

bool inRanges(char32_t value, std::span<const Range> ranges)
{
    auto found = std::upper_bound(ranges.begin(), ranges.end(), value,
                                  [](char32_t v, const Range& range) { return v < range.first; });
    return found != ranges.begin() && value <= std::prev(found)->last;
}

Kind kindOf(char32_t value)
{
    if (value == '\r')
        return Kind::CR;
    if (value == '\n')
        return Kind::LF;
    if (value == 0x200D)
        return Kind::ZWJ;
    if (value < 0x20 || (value >= 0x7F && value <= 0x9F) || value == 0x00AD || value == 0x200B
        || value == 0x200E || value == 0x200F || value == 0x2028 || value == 0x2029
        || (value >= 0x2060 && value <= 0x2064) || value == 0xFEFF)
        return Kind::Control;
    if (value >= 0x1F1E6 && value <= 0x1F1FF)
        return Kind::RegionalIndicator;
    if ((value >= 0x1100 && value <= 0x115F) || (value >= 0xA960 && value <= 0xA97C))
        return Kind::L;
    if ((value >= 0x1160 && value <= 0x11A7) || (value >= 0xD7B0 && value <= 0xD7C6))
        return Kind::V;
    if ((value >= 0x11A8 && value <= 0x11FF) || (value >= 0xD7CB && value <= 0xD7FB))
        return Kind::T;
    if (value >= 0xAC00 && value <= 0xD7A3)
        return (value - 0xAC00) % 28 == 0 ? Kind::LV : Kind::LVT;
    if (inRanges(value, extendRanges))
        return Kind::Extend;
    if (inRanges(value, pictographicRanges))
        return Kind::Pictographic;
    return Kind::Other;
}

// The extended grapheme cluster rules, given what came before.
struct Segmenter {
    Kind previous = Kind::Other;
    bool pictographicThenExtends = false; // ExtPict Extend* so far, for emoji joined by ZWJ
    bool joinerAfterPictographic = false; // ... followed by a ZWJ
    int regionalIndicators = 0;           // consecutive ones, for flag pairs

    bool breaksBefore(Kind next) const
    {
        if (previous == Kind::CR && next == Kind::LF)
            return false;
        if (previous == Kind::CR || previous == Kind::LF || previous == Kind::Control)
            return true;
        if (next == Kind::CR || next == Kind::LF || next == Kind::Control)
            return true;
        if (previous == Kind::L && (next == Kind::L || next == Kind::V || next == Kind::LV || next == Kind::LVT))
            return false;
        if ((previous == Kind::LV || previous == Kind::V) && (next == Kind::V || next == Kind::T))
            return false;
        if ((previous == Kind::LVT || previous == Kind::T) && next == Kind::T)
            return false;
        if (next == Kind::Extend || next == Kind::ZWJ)
            return false;
        if (joinerAfterPictographic && next == Kind::Pictographic)
            return false;
        if (previous == Kind::RegionalIndicator && next == Kind::RegionalIndicator)
            return regionalIndicators % 2 == 0;
        return true;
    }

    void advance(Kind next)
    {
        joinerAfterPictographic = pictographicThenExtends && next == Kind::ZWJ;
        pictographicThenExtends = next == Kind::Pictographic || (pictographicThenExtends && next == Kind::Extend);
        regionalIndicators = next == Kind::RegionalIndicator ? regionalIndicators + 1 : 0;
        previous = next;
    }
};

[[noreturn]] void refuseRecoveryPassword() { throw ProofError(invalidRecoveryPasswordMessage); }

}

std::optional<std::vector<std::size_t>> graphemeBoundaries(std::span<const std::uint8_t> utf8)
{
    std::vector<std::size_t> boundaries;
    Segmenter segmenter;
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t start = at;
        std::optional<char32_t> value = decodeUTF8CodePoint(utf8, at);
        if (!value)
            return std::nullopt;
        Kind kind = kindOf(*value);
        if (start == 0 || segmenter.breaksBefore(kind))
            boundaries.push_back(start);
        segmenter.advance(kind);
    }
    boundaries.push_back(utf8.size());
    return boundaries;
}

SecretBytes groupedRecoveryKey(const SecretBytes& password)
{
    auto boundaries = graphemeBoundaries(password.bytes());
    if (!boundaries || password.empty())
        refuseRecoveryPassword();
    std::size_t characters = boundaries->size() - 1;
    std::size_t groups = (characters + 3) / 4;
    SecretBytes grouped(password.size() + groups - 1);
    std::size_t written = 0;
    for (std::size_t group = 0; group < groups; ++group) {
        if (group > 0)
            grouped.data()[written++] = ' ';
        std::size_t from = (*boundaries)[group * 4];
        std::size_t to = (*boundaries)[std::min(group * 4 + 4, characters)];
        std::copy(password.data() + from, password.data() + to, grouped.data() + written);
        written += to - from;
    }
    return grouped;
}

SecretBytes recoveryConfirmationCode(const SecretBytes& password)
{
    auto boundaries = graphemeBoundaries(password.bytes());
    if (!boundaries || boundaries->size() - 1 < 8)
        refuseRecoveryPassword();
    std::size_t from = (*boundaries)[boundaries->size() - 1 - 8];
    return SecretBytes::copyOf(password.bytes().subspan(from));
}

}
