#include "disk/property_list.h"
#include "common/errors.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

namespace {

std::string document(const std::string& stringElement)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>VolumeName</key>"
        + stringElement + "</dict></plist>\n";
}

}

TEST(PropertyListText, StringsMustBeUnicodeText)
{
    struct Case {
        const char* name;
        std::string element;
    };
    const Case refused[] = {
        {"stray continuation byte", "<string>USB\x80</string>"},
        {"truncated sequence", "<string>USB\xC3</string>"},
        {"overlong slash", "<string>\xC0\xAF</string>"},
        {"encoded surrogate", "<string>\xED\xA0\x80</string>"},
        {"past U+10FFFF", "<string>\xF4\x90\x80\x80</string>"},
        {"invalid byte in a key", "<key>\xFF</key><string>x</string>"},
        {"hexadecimal lone surrogate", "<string>&#xD800;</string>"},
        {"upper-case low surrogate", "<string>&#xDFFF;</string>"},
        {"decimal lone surrogate", "<string>&#55296;</string>"},
        {"surrogate pair spelled as two references", "<string>&#xD83D;&#xDE00;</string>"},
        {"past U+10FFFF by reference", "<string>&#x110000;</string>"},
        {"huge reference", "<string>&#99999999999999999999;</string>"},
        {"reference to NUL", "<string>a&#0;b</string>"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        try {
            parsePropertyList(document(c.element));
            ADD_FAILURE() << "parsed";
        } catch (const PlatformError& failure) {
            EXPECT_EQ(failure.domain(), "NSCocoaErrorDomain");
            EXPECT_EQ(failure.code(), 3840);
        }
    }

    struct Accepted {
        const char* name;
        std::string element;
        std::string value;
    };
    const Accepted accepted[] = {
        {"UTF-8 text", "<string>Cl\xC3\xA9 \xF0\x9F\x94\x91</string>", "Cl\xC3\xA9 \xF0\x9F\x94\x91"},
        {"references to real characters", "<string>&#xE9;&#233;&#x1F511;&#xFFFD;</string>",
         "\xC3\xA9\xC3\xA9\xF0\x9F\x94\x91\xEF\xBF\xBD"},
        {"an escaped ampersand is text", "<string>&amp;#xD800;</string>", "&#xD800;"},
        {"a CDATA section is not decoded", "<string><![CDATA[&#xD800;]]></string>", "&#xD800;"},
        {"a comment is skipped", "<!-- &#xD800; --><string>USB</string>", "USB"},
    };
    for (const Accepted& c : accepted) {
        SCOPED_TRACE(c.name);
        PlistValue value = parsePropertyList(document(c.element));
        ASSERT_TRUE(value.dictionary());
        const std::string* name = plistString(*value.dictionary(), "VolumeName");
        ASSERT_TRUE(name);
        EXPECT_EQ(*name, c.value);
    }
}
