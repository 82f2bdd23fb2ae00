// Known answers of the base layer's text helpers, with the malformed inputs
// they exist to refuse.
#include "common/ascii_case.h"
#include "common/hex.h"
#include "common/json_bounds.h"
#include "common/path_text.h"
#include "common/percent_encoding.h"
#include "common/utf8.h"
#include "common/uuid_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ferrolatch;

TEST(UTF8, AcceptsWellFormedTextAndRefusesEachMalformedForm)
{
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ASCII", true},
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\xA6 \xF0\x9F\x94\x91", true}, // ü ß … 🔑
        {"\xF4\x8F\xBF\xBF", true},                                     // U+10FFFF
        {"\xC0\xAF", false},                                            // overlong "/"
        {"\xE0\x80\xAF", false},                                        // overlong three-byte form
        {"\xED\xA0\x80", false},                                        // a surrogate
        {"\xF4\x90\x80\x80", false},                                    // past U+10FFFF
        {"\xFF", false},                                                // never a lead byte
        {"\x80", false},                                                // a lone continuation byte
        {"\xE2\x80", false},                                            // cut short
        {"ok\xC3", false},                                              // cut short at the end
        {"\xC3\x28", false},                                            // a bad continuation byte
    };
    for (const auto& [bytes, valid] : cases) {
        SCOPED_TRACE(hexString({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
        EXPECT_EQ(isValidUTF8(bytes), valid);
    }
}

TEST(UTF8, DecodesOneCodePointAndStaysPutOnAMalformedOne)
{
    std::string text = "a\xC3\xBC\xE2\x80\xA6\xF0\x9F\x94\x91\xC0\xAF";
    std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::size_t at = 0;
    std::vector<char32_t> decoded;
    while (std::optional<char32_t> point = decodeUTF8CodePoint(bytes, at))
        decoded.push_back(*point);
    EXPECT_EQ(decoded, (std::vector<char32_t> {U'a', U'\u00FC', U'\u2026', U'\U0001F511'}));
    EXPECT_EQ(at, 10u); // at the overlong form, which is not consumed
}

TEST(PathText, ReadsPathsByTheirTextAlone)
{
    struct Case {
        std::string path, last, parent;
    };
    const Case cases[] = {
        {"/Volumes/PRIVATE", "PRIVATE", "/Volumes"},
        {"/Volumes/PRIVATE///", "PRIVATE", "/Volumes"},
        {"/Volumes", "Volumes", "/"},
        {"/", "/", "/"},
        {"name", "name", "."},
        {"a/b", "b", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(lastPathComponent(c.path), c.last);
        EXPECT_EQ(parentDirectory(c.path), c.parent);
    }
}

TEST(PathText, NormalisesDotsAndSlashesButNeverClimbsAboveTheRoot)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/", "/"},
        {"", "/"},
        {"//Users//me/./Documents/", "/Users/me/Documents"},
        {"/Users/me/../you", "/Users/you"},
        {"/../../etc", "/etc"},
        {"/a/b/../../..", "/"},
        {"/a/.../b", "/a/.../b"}, // three dots are a name
    };
    for (const auto& [path, normalized] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(lexicallyNormalizedPath(path), normalized);
    }
}

TEST(JSONBounds, CountsNestingOutsideStringsOnly)
{
    const std::tuple<std::string, int, bool> cases[] = {
        {"{}", 1, false},
        {"[[]]", 1, true},
        {"[[]]", 2, false},
        {R"({"a": [{"b": []}]})", 3, true},
        {R"({"a": "[[[[[[[["})", 1, false},       // brackets in a string do not count
        {R"({"a": "\"[[[[", "b": 1})", 1, false}, // nor after an escaped quote
        {R"(["\\", [[]]])", 2, true},             // an escaped backslash ends the escape
        {std::string(33, '[') + std::string(33, ']'), outsideJSONDepthLimit, true},
        {std::string(32, '[') + std::string(32, ']'), outsideJSONDepthLimit, false},
        {"]]]]", 1, false}, // unbalanced closers never count below zero
    };
    for (const auto& [text, limit, deeper] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(jsonNestsDeeperThan(text, limit), deeper);
    }
}

TEST(UUIDText, ParsesEitherCaseAndPrintsUpperCase)
{
    std::optional<UUIDBytes> bytes = uuidBytesFromText("0a1b2c3d-4E5F-6a7b-8C9D-0e1f2a3b4c5d");
    ASSERT_TRUE(bytes);
    EXPECT_EQ((*bytes)[0], 0x0A);
    EXPECT_EQ((*bytes)[15], 0x5D);
    EXPECT_EQ(uppercaseUUIDText(*bytes), "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D");
}

TEST(UUIDText, RefusesEveryOtherShape)
{
    const std::string refused[] = {
        "",
        "0A1B2C3D4E5F6A7B8C9D0E1F2A3B4C5D",         // no hyphens
        "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5",      // one digit short
        "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D0",    // one digit over
        "0A1B2C3D-4E5F-6A7B-8C9D0-E1F2A3B4C5D",     // a hyphen out of place
        "0A1B2C3G-4E5F-6A7B-8C9D-0E1F2A3B4C5D",     // not a hex digit
        "{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}",   // braces
        " 0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D",    // a space
        std::string("0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5\0", 36),
    };
    for (const std::string& text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(uuidBytesFromText(text));
    }
}

TEST(Hex, WritesLowerCaseAndReadsEitherCase)
{
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(hexString(bytes), "000fa5ff");
    EXPECT_EQ(hexString({}), "");
    const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15}, {'g', -1}, {'/', -1}, {' ', -1}};
    for (const auto& [digit, value] : digits) {
        SCOPED_TRACE(std::string(1, digit));
        EXPECT_EQ(hexDigitValue(digit), value);
    }
}

TEST(PercentEncoding, KeepsUnreservedCharactersAndWhatTheCallerKeeps)
{
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"1.0.0-beta_2~x", "", "1.0.0-beta_2~x"},
        {"a b&c=d?", "", "a%20b%26c%3Dd%3F"},
        {"/Volumes/My Drive", "/", "/Volumes/My%20Drive"},
        {"/Volumes/My Drive", "", "%2FVolumes%2FMy%20Drive"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "", "Gr%C3%BC%C3%9Fe"},
        {std::string("\0\x7F", 2), "", "%00%7F"},
    };
    for (const auto& [text, kept, encoded] : cases) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(percentEncoded(text, kept), encoded);
        EXPECT_EQ(percentDecoded(encoded), text);
    }
}

TEST(PercentEncoding, LeavesMalformedEscapesAsWritten)
{
    const std::pair<std::string, std::string> cases[] = {
        {"100%", "100%"}, {"%4", "%4"}, {"%zz1", "%zz1"}, {"%%41", "%A"}, {"%4a%4A", "JJ"},
    };
    for (const auto& [text, decoded] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(percentDecoded(text), decoded);
    }
}

TEST(ASCIICase, FoldsOnlyASCIILetters)
{
    EXPECT_EQ(asciiLowercased("Ferrolatch.SPARSEBUNDLE \xC3\x84"), "ferrolatch.sparsebundle \xC3\x84");
    EXPECT_EQ(asciiUppercased("0a1b-c\xC3\xA4"), "0A1B-C\xC3\xA4");
    EXPECT_TRUE(endsWithIgnoringASCIICase("proof.DMG", ".dmg"));
    EXPECT_TRUE(endsWithIgnoringASCIICase("x", ""));
    EXPECT_FALSE(endsWithIgnoringASCIICase("dmg", ".dmg"));
    EXPECT_FALSE(endsWithIgnoringASCIICase("proof.dmh", ".dmg"));
}
