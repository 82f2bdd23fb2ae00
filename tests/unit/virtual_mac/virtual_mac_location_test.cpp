#include "common/virtual_mac_location.h"

#include <gtest/gtest.h>

using namespace ferrolatch::virtual_mac;

TEST(VirtualMacLocation, EverySpellingOfASysrootNormalisesToOnePath)
{
    struct Case {
        const char* path;
        const char* workingDirectory;
        const char* expected;
    };
    const Case cases[] = {
        {"/tmp/mac", "/w", "/tmp/mac"},
        {"/tmp/mac/", "/w", "/tmp/mac"},
        {"/tmp/mac//", "/w", "/tmp/mac"},
        {"/tmp/./mac/.", "/w", "/tmp/mac"},
        {"/tmp/x/../mac", "/w", "/tmp/mac"},
        {"//tmp/mac", "/w", "/tmp/mac"},
        {"mac", "/w", "/w/mac"},
        {"./mac/", "/w/", "/w/mac"},
        {"../mac", "/w/sub", "/w/mac"},
        {"/", "/w", "/"},
        {"/..", "/w", "/"},
        {"mac", "", ""}, // relative with no working directory: no guess
        {"", "/w", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from " + c.workingDirectory);
        EXPECT_EQ(normalizedSysroot(c.path, c.workingDirectory), c.expected);
    }
}

TEST(VirtualMacLocation, DefaultIsUnderTheUsersDataDirectory)
{
    EXPECT_EQ(defaultSysroot("/data", "/home/me"), "/data/ferrolatch/virtual-mac");
    EXPECT_EQ(defaultSysroot(nullptr, "/home/me"), "/home/me/.local/share/ferrolatch/virtual-mac");
    EXPECT_EQ(defaultSysroot("", "/home/me"), "/home/me/.local/share/ferrolatch/virtual-mac");
    EXPECT_EQ(defaultSysroot("relative", "/home/me"), "/home/me/.local/share/ferrolatch/virtual-mac");
    EXPECT_EQ(defaultSysroot(nullptr, nullptr), "");
    EXPECT_EQ(defaultSysroot(nullptr, "relative"), "");
}
