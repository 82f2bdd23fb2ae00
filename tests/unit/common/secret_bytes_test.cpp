#include "common/secret_bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

using namespace ferrolatch;

static_assert(!std::is_copy_constructible_v<SecretBytes> && !std::is_copy_assignable_v<SecretBytes>,
              "a secret is copied only on purpose, with clone()");
static_assert(!std::is_convertible_v<SecretBytes, std::string>, "a secret never becomes a string");

namespace {

std::string text(const SecretBytes& secret)
{
    return {reinterpret_cast<const char*>(secret.data()), secret.size()};
}

}

TEST(SecretBytes, CopiesAndDerivedCopiesHoldExactlyTheirBytes)
{
    SecretBytes password = SecretBytes::copyOf(std::string_view("pass\0word", 9));
    EXPECT_EQ(password.size(), 9u);
    EXPECT_TRUE(password.equals(std::string_view("pass\0word", 9)));
    EXPECT_EQ(text(password.withLineFeed()), std::string("pass\0word\n", 10));
    EXPECT_EQ(text(password.prefix(4)), "pass");
    EXPECT_EQ(text(password.prefix(100)), std::string("pass\0word", 9));
    EXPECT_TRUE(password.clone().equals(password.bytes()));

    SecretBytes zeroed(3);
    EXPECT_TRUE(zeroed.equals(std::string_view("\0\0\0", 3)));
    EXPECT_EQ(text(SecretBytes().withLineFeed()), "\n");
}

TEST(SecretBytes, ComparesByLengthAndEveryByte)
{
    SecretBytes key = SecretBytes::copyOf("abc");
    const std::pair<std::string_view, bool> cases[] = {
        {"abc", true}, {"abd", false}, {"ab", false}, {"abcd", false}, {"", false}, {"ABC", false},
    };
    for (const auto& [other, equal] : cases) {
        SCOPED_TRACE(std::string(other));
        EXPECT_EQ(key.equals(other), equal);
    }
    EXPECT_TRUE(SecretBytes().equals(std::string_view()));
}

TEST(SecretBytes, WipingAndMovingLeaveNothingBehind)
{
    SecretBytes secret = SecretBytes::copyOf("secret");
    secret.wipe();
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(secret.data(), nullptr);

    SecretBytes source = SecretBytes::copyOf("moved");
    const std::uint8_t* storage = source.data();
    SecretBytes target = std::move(source);
    EXPECT_EQ(target.data(), storage); // the storage moves; no copy is left in the source
    EXPECT_TRUE(source.empty()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(text(target), "moved");

    SecretBytes replaced = SecretBytes::copyOf("old");
    replaced = std::move(target);
    EXPECT_EQ(text(replaced), "moved");
    SecretBytes& same = replaced;
    replaced = std::move(same); // a self-move keeps the secret
    EXPECT_EQ(text(replaced), "moved");
}
