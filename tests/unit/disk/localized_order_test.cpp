#include "disk/localized_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace ferrolatch;

TEST(LocalizedOrder, ComparesLikeFinder)
{
    struct Case {
        const char* left;
        const char* right;
        int expected;
    };
    const Case cases[] = {
        {"disk4", "disk10", -1},
        {"disk10", "disk4", 1},
        {"disk4", "disk4", 0},
        {"Disk4", "disk4", 0},              // case does not order
        {"Volume 2", "volume 10", -1},
        {"disk04", "disk4", 0},             // leading zeros do not change the number
        {"disk4s2", "disk4s10", -1},
        {"disk", "disk0", -1},              // a prefix comes first
        {"a", "B", -1},
        {"Backups", "archive", 1},
        {"x99999999999999999999", "x100000000000000000000", -1}, // beyond 64 bits
        {"Caf\xC3\xA9", "Cafe", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.left) + " vs " + c.right);
        int order = localizedStandardCompare(c.left, c.right);
        EXPECT_EQ((order > 0) - (order < 0), c.expected);
    }
}

TEST(LocalizedOrder, StableSortKeepsEqualNamesInTheirOrder)
{
    std::vector<std::string> names {"disk10", "Data", "disk4", "data", "disk2"};
    std::stable_sort(names.begin(), names.end(), localizedStandardLess);
    EXPECT_EQ(names, (std::vector<std::string> {"Data", "data", "disk2", "disk4", "disk10"}));
}
