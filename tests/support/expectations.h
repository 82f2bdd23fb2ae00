#pragma once

#include "common/errors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Expects the statement to throw a ProofError whose text is exactly the given one.
#define EXPECT_PROOF_ERROR(statement, text)                                                                        \
    do {                                                                                                           \
        try {                                                                                                      \
            statement;                                                                                             \
            ADD_FAILURE() << "no error; expected: " << (text);                                                     \
        } catch (const ::ferrolatch::ProofError& failure) {                                                        \
            EXPECT_EQ(std::string(failure.what()), std::string(text));                                             \
        }                                                                                                          \
    } while (false)

namespace ferrolatch::testing {

inline std::vector<std::uint8_t> hex(std::string_view digits)
{
    auto value = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(value(digits[i]) << 4 | value(digits[i + 1])));
    return bytes;
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

inline void expectProofError(const std::function<void()>& action, const std::string& message)
{
    try {
        action();
        ADD_FAILURE() << "expected ProofError: " << message;
    } catch (const ProofError& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

inline PlatformError expectPlatformError(const std::function<void()>& action, const std::string& domain, long code)
{
    try {
        action();
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), domain);
        EXPECT_EQ(error.code(), code) << error.what();
        return error;
    }
    ADD_FAILURE() << "expected PlatformError " << domain << " " << code;
    return PlatformError("", 0, "");
}

}
