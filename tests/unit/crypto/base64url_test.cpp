#include "crypto/base64url.h"

#include <gtest/gtest.h>

#include <random>

using namespace ferrolatch;

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

}

TEST(Base64URL, EncodesTheStandardVectorsWithoutPadding)
{
    // The base64 test vectors of RFC 4648, with the "=" removed.
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(base64URLEncode(std::string_view(plain)), encoded);
        EXPECT_EQ(base64URLDecode(encoded), bytesOf(plain));
    }
}

TEST(Base64URL, UsesTheURLAlphabet)
{
    const std::vector<std::uint8_t> highBits {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64URLEncode(highBits), "-_-_");
    EXPECT_EQ(base64URLDecode("-_-_"), highBits);
    EXPECT_EQ(base64URLEncode(std::vector<std::uint8_t>(1, 0)), "AA");
    EXPECT_EQ(base64URLEncode(std::vector<std::uint8_t>(32, 0xFF)).size(), 43u);
    EXPECT_EQ(base64URLEncode(std::vector<std::uint8_t>(71, 0xFF)).size(), 95u);
}

TEST(Base64URL, DecodesOnlyWellFormedText)
{
    struct Case {
        const char* text;
        std::optional<std::vector<std::uint8_t>> bytes;
    };
    const std::vector<std::uint8_t> zero {0};
    const Case cases[] = {
        {"AA", zero},
        {"AA==", zero},            // padding already present
        {"AA=", zero},             // partly padded
        {"+/+/", std::vector<std::uint8_t> {0xFB, 0xFF, 0xBF}}, // the standard alphabet reads the same
        {"", std::vector<std::uint8_t> {}},
        {"A", std::nullopt},       // a remainder of 1 can never be valid
        {"AAAAA", std::nullopt},
        {"A*", std::nullopt},      // outside the alphabet
        {"Zm 9v", std::nullopt},
        {"Zm9v\n", std::nullopt},
        {"Zm9v=", std::nullopt},   // five characters: padded to eight, too many "="
        {"A===", std::nullopt},
        {"====", std::nullopt},
        {"Zg==Zg==", std::nullopt}, // "=" only at the end
        {"Z=g=", std::nullopt},
        {"\xC3\xA9\xC3\xA9", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(base64URLDecode(c.text), c.bytes);
    }
}

TEST(Base64URL, RoundTripsEveryLengthAndAgreesWithTheSecretForms)
{
    std::mt19937 generator(7);
    for (std::size_t length = 0; length < 80; ++length) {
        SCOPED_TRACE(length);
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(generator());
        std::string text = base64URLEncode(bytes);
        EXPECT_EQ(text.find_first_of("=+/"), std::string::npos);
        EXPECT_NE(text.size() % 4, 1u);
        EXPECT_EQ(base64URLDecode(text), bytes);

        SecretBytes secretText = base64URLEncodeSecret(bytes);
        EXPECT_TRUE(secretText.equals(text));
        std::optional<SecretBytes> secretBytes = base64URLDecodeSecret(secretText.bytes());
        ASSERT_TRUE(secretBytes);
        EXPECT_TRUE(secretBytes->equals(bytes));
    }
    const std::string_view bad = "A*";
    EXPECT_FALSE(base64URLDecodeSecret({reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size()}));
}
