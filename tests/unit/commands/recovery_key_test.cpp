#include "commands/recovery_key.h"

#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

using namespace ferrolatch;
using recovery_testing::textOf;

namespace {

const std::string key43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ProofError& error) {
        return error.what();
    }
    return "no error";
}

std::string grouped(const std::string& text) { return textOf(groupedRecoveryKey(SecretBytes::copyOf(text))); }

struct GroupingCase {
    const char* name;
    std::string text;
    std::string expected;
};

const GroupingCase groupingCases[] = {
    {"generated password", key43, "0123 4567 89AB CDEF GHIJ KLMN OPQR STUV WXYZ abcd efg"},
    {"one character", "Q", "Q"},
    {"exactly one group", "abcd", "abcd"},
    {"one past a group", "abcde", "abcd e"},
    {"two full groups", "abcdefgh", "abcd efgh"},
    {"spaces and case kept", "a B c-_D", "a B  c-_D"},
    // e + combining acute is one character; so are the flag pair and the ZWJ family.
    {"combining mark", "e\xCC\x81" "bcde", "e\xCC\x81" "bcd e"},
    {"two combining marks", "a\xCC\x81\xCC\xA3" "bcdx", "a\xCC\x81\xCC\xA3" "bcd x"},
    {"flag pair", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA" "abcd", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA" "abc d"},
    {"three regional indicators", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB" "abc",
     "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB" "ab c"},
    {"emoji joined by ZWJ", "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB" "abcd",
     "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB" "abc d"},
    {"skin tone modifier", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "xyzw", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "xyz w"},
    {"hangul jamo syllable", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8" "abcd", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8" "abc d"},
    {"CR LF is one character", "ab\r\ncd", "ab\r\nc d"},
    {"two-byte letters are one character each", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F\xC3\xA9", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F \xC3\xA9"},
};

}

TEST(RecoveryKey, GroupsUserPerceivedCharactersInFours)
{
    for (const auto& c : groupingCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(grouped(c.text), c.expected);
    }
}

TEST(RecoveryKey, GroupingOnlyInsertsSpacesAndLeavesThePasswordAlone)
{
    SecretBytes password = SecretBytes::copyOf(key43);
    SecretBytes result = groupedRecoveryKey(password);
    std::string withoutSpaces = textOf(result);
    std::erase(withoutSpaces, ' ');
    EXPECT_EQ(withoutSpaces, key43);
    EXPECT_TRUE(password.equals(key43));
}

TEST(RecoveryKey, RefusesEmptyAndMalformedPasswords)
{
    const std::pair<const char*, std::string> refused[] = {
        {"empty", ""},
        {"lone continuation byte", "abc\x80"},
        {"truncated two-byte form", "abc\xC3"},
        {"overlong slash", "\xC0\xAF" "abcdefgh"},
        {"overlong three-byte form", "\xE0\x80\xAF" "abcdefgh"},
        {"surrogate", "\xED\xA0\x80" "abcdefgh"},
        {"past U+10FFFF", "\xF4\x90\x80\x80" "abcdefgh"},
        {"invalid lead byte", "\xFF" "abcdefgh"},
    };
    for (const auto& [name, text] : refused) {
        SCOPED_TRACE(name);
        const std::string& bytes = text; // a lambda may not capture a structured binding in clang 14
        EXPECT_EQ(messageOf([&] { groupedRecoveryKey(SecretBytes::copyOf(bytes)); }),
                  "recovery password was not valid UTF-8");
        EXPECT_EQ(messageOf([&] { recoveryConfirmationCode(SecretBytes::copyOf(bytes)); }),
                  "recovery password was not valid UTF-8");
    }
}

TEST(RecoveryKey, ConfirmationCodeIsTheLastEightCharacters)
{
    EXPECT_EQ(textOf(recoveryConfirmationCode(SecretBytes::copyOf(key43))), "Zabcdefg");
    EXPECT_EQ(textOf(recoveryConfirmationCode(SecretBytes::copyOf("12345678"))), "12345678");
    // Eight characters, nine code points: the mark stays with its letter.
    EXPECT_EQ(textOf(recoveryConfirmationCode(SecretBytes::copyOf("xxe\xCC\x81" "1234567"))), "e\xCC\x81" "1234567");
    EXPECT_EQ(messageOf([] { recoveryConfirmationCode(SecretBytes::copyOf("1234567")); }),
              "recovery password was not valid UTF-8");
    EXPECT_EQ(messageOf([] { recoveryConfirmationCode(SecretBytes::copyOf("e\xCC\x81" "234567")); }),
              "recovery password was not valid UTF-8")
        << "eight code points but seven characters";
}

TEST(RecoveryKey, BoundariesEndWithTheLength)
{
    auto empty = graphemeBoundaries({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, std::vector<std::size_t> {0});
    std::string text = "a\xCC\x81" "b";
    auto boundaries = graphemeBoundaries(SecretBytes::copyOf(text).bytes());
    ASSERT_TRUE(boundaries);
    EXPECT_EQ(*boundaries, (std::vector<std::size_t> {0, 3, 4}));
}
