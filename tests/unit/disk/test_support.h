#pragma once

#include "platform/errors.h"

#include <gtest/gtest.h>

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
