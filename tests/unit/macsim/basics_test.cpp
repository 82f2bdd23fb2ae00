#include "macsim/basics.h"

#include <gtest/gtest.h>

using namespace macsim;

TEST(MacsimBasics, SizesUseBinaryUnits)
{
    struct Case {
        const char* text;
        std::uint64_t bytes;
    };
    const Case accepted[] = {{"128m", 134217728}, {"2g", 2147483648}, {"2G", 2147483648}, {"512k", 524288},
        {"1t", 1099511627776}, {"134217728", 134217728}};
    for (const Case& c : accepted)
        EXPECT_EQ(parseSize(c.text), c.bytes) << c.text;
    for (const char* refused : {"", "m", "12x", "-5m", "1.5g", "99999999999999999999", "20000000t"})
        EXPECT_THROW(parseSize(refused), ToolError) << refused;
}

TEST(MacsimBasics, DiskNamesParseOnlyTheMacForms)
{
    struct Case {
        const char* text;
        int disk;
        int slice;
    };
    const Case accepted[] = {{"disk4", 4, 0}, {"disk4s2", 4, 2}, {"/dev/disk10s1", 10, 1}, {"/dev/rdisk7", 7, 0}};
    for (const Case& c : accepted) {
        DiskName name;
        ASSERT_TRUE(parseDiskName(c.text, name)) << c.text;
        EXPECT_EQ(name.disk, c.disk);
        EXPECT_EQ(name.slice, c.slice);
    }
    for (const char* refused : {"disk", "disk04", "disk4s", "disk4s0", "Disk4", "disk4s1s1", "/dev/", "sda1", "disk-1"}) {
        DiskName name;
        EXPECT_FALSE(parseDiskName(refused, name)) << refused;
    }
}

TEST(MacsimBasics, DiskNamesPrintAsAMacPrintsThem)
{
    EXPECT_EQ(diskName(4), "disk4");
    EXPECT_EQ(diskName(12, 3), "disk12s3");
}

TEST(MacsimBasics, UUIDsAreUpperCaseVersionFour)
{
    std::string first = randomUUID();
    EXPECT_EQ(first.size(), 36u);
    EXPECT_EQ(first[14], '4');
    for (char c : first)
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '-') << first;
    EXPECT_NE(first, randomUUID());
}
