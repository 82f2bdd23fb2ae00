#include "disk/property_list.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>

using namespace ferrolatch;
using ferrolatch::testing::fixture;

namespace {

std::string toBinary(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes, length);
    std::free(bytes);
    plist_free(root);
    return binary;
}

}

TEST(PropertyList, ReadsTheValueTypesOfToolOutput)
{
    PlistValue value = parsePropertyList(fixture("disk_info_disk99.plist"));
    ASSERT_NE(value.dictionary(), nullptr);
    const auto& disk = *value.dictionary();
    EXPECT_EQ(*plistString(disk, "MediaName"), "Ferrolatch fixture");
    EXPECT_EQ(plistBoolean(disk, "WholeDisk"), true);
    EXPECT_EQ(plistBoolean(disk, "Internal"), false);
    EXPECT_EQ(plistNumber(disk, "TotalSize"), 134217728);
    EXPECT_NE(disk.at("SMARTDeviceSpecificKeysMayVaryNotGuaranteed").dictionary(), nullptr);
    // Typed look-ups answer nothing for a key of another type or no key at all.
    EXPECT_EQ(plistString(disk, "TotalSize"), nullptr);
    EXPECT_EQ(plistBoolean(disk, "MediaName"), std::nullopt);
    EXPECT_EQ(plistNumber(disk, "WholeDisk"), std::nullopt);
    EXPECT_EQ(plistArray(disk, "Absent"), nullptr);
}

TEST(PropertyList, NestingIsBoundedWhereverTheTextPutsIt)
{
    auto nested = [](int levels, std::string_view open, std::string_view close) {
        std::string text = "<plist>";
        for (int level = 0; level < levels; ++level)
            text += open;
        for (int level = 0; level < levels; ++level)
            text += close;
        return text + "</plist>";
    };
    EXPECT_NO_THROW(parsePropertyList(nested(100, "<array>", "</array>")));
    EXPECT_NO_THROW(parsePropertyList(nested(100, "<dict><key>k</key>", "</dict>")));
    // Many siblings are not depth.
    std::string wide = "<plist><array>";
    for (int sibling = 0; sibling < 5000; ++sibling)
        wide += "<array/><dict></dict>";
    EXPECT_NO_THROW(parsePropertyList(wide + "</array></plist>"));
    // Closing tags hidden in a comment do not hide the depth.
    std::string hidden = "<plist>";
    for (int level = 0; level < 300; ++level)
        hidden += "<array><!-- </array> -->";
    for (int level = 0; level < 300; ++level)
        hidden += "</array>";
    EXPECT_THROW(parsePropertyList(hidden + "</plist>"), PlatformError);
}

TEST(PropertyList, NumbersReadAsSignedIntegers)
{
    PlistValue value = parsePropertyList("<plist><dict><key>negative</key><integer>-5</integer>"
                                         "<key>real</key><real>134217728.75</real>"
                                         "<key>huge</key><real>1e300</real></dict></plist>");
    const auto& numbers = *value.dictionary();
    EXPECT_EQ(plistNumber(numbers, "negative"), -5);
    EXPECT_EQ(plistNumber(numbers, "real"), 134217728);
    EXPECT_EQ(plistNumber(numbers, "huge"), std::numeric_limits<std::int64_t>::max());
}

TEST(PropertyList, RefusesWhatIsNotAPropertyList)
{
    std::string deep;
    for (int level = 0; level < 200000; ++level)
        deep += "<array>";
    for (int level = 0; level < 200000; ++level)
        deep += "</array>";
    for (std::string bytes : {std::string(), std::string("Could not find disk: disk9\n"), std::string("<plist><dict>"),
                              std::string("bplist00garbage"), toBinary(fixture("disk_info_disk99.plist")),
                              "<plist>" + deep + "</plist>"}) {
        SCOPED_TRACE(bytes.substr(0, 40));
        try {
            parsePropertyList(bytes);
            ADD_FAILURE() << "parsed";
        } catch (const PlatformError& failure) {
            EXPECT_EQ(failure.domain(), "NSCocoaErrorDomain");
            EXPECT_EQ(failure.code(), 3840);
        }
    }
}
