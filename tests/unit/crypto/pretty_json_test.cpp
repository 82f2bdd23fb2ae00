#include "crypto/pretty_json.h"

#include "tests/support/expectations.h"

#include <cmath>

using namespace ferrolatch;
using namespace ferrolatch::testing;
using nlohmann::json;

TEST(PrettyJSON, WritesNestedValuesInTheMacLayout)
{
    json value = {
        {"zeta", json::array({1, "a/b", json {{"k", true}}, json::array({2})})},
        {"alpha", nullptr},
        {"emptyObject", json::object()},
        {"emptyArray", json::array()},
        {"\xC3\xA9t\xC3\xA9", "gr\xC3\xBC\xC3\x9F"},
        {"count", -5},
        {"big", 18446744073709551615ull},
        {"half", 1.5},
        {"whole", 2.0},
    };
    const std::string expected = "{\n"
                                 "  \"alpha\" : null,\n"
                                 "  \"big\" : 18446744073709551615,\n"
                                 "  \"count\" : -5,\n"
                                 "  \"emptyArray\" : [\n"
                                 "\n"
                                 "  ],\n"
                                 "  \"emptyObject\" : {\n"
                                 "\n"
                                 "  },\n"
                                 "  \"half\" : 1.5,\n"
                                 "  \"whole\" : 2,\n"
                                 "  \"zeta\" : [\n"
                                 "    1,\n"
                                 "    \"a/b\",\n"
                                 "    {\n"
                                 "      \"k\" : true\n"
                                 "    },\n"
                                 "    [\n"
                                 "      2\n"
                                 "    ]\n"
                                 "  ],\n"
                                 "  \"\xC3\xA9t\xC3\xA9\" : \"gr\xC3\xBC\xC3\x9F\"\n"
                                 "}";
    EXPECT_EQ(encodePrettyJSON(value), expected);
}

TEST(PrettyJSON, EscapesOnlyWhatJSONRequires)
{
    json value = std::string("q\"b\\n\nt\tr\rf\fb\b\x01\x1f\x7f/");
    EXPECT_EQ(encodePrettyJSON(value), "\"q\\\"b\\\\n\\nt\\tr\\rf\\fb\\b\\u0001\\u001f\x7f/\"");
    EXPECT_EQ(encodePrettyJSON(json::array()), "[\n\n]");
    EXPECT_EQ(encodePrettyJSON(json(false)), "false");
}

TEST(PrettyJSON, RefusesWhatHasNoJSONForm)
{
    const json invalid[] = {
        json(std::string("\xC3")),         // truncated sequence
        json(std::string("\xC0\xAF")),     // overlong "/"
        json(std::string("\xED\xA0\x80")), // a surrogate
        json {{"ok", std::string("\xFF")}},
        json(std::nan("")),
        json(INFINITY),
        json::binary({1, 2}),
    };
    for (const auto& value : invalid)
        expectPlatformError([&] { encodePrettyJSON(value); }, "NSCocoaErrorDomain", 4866);
    EXPECT_EQ(encodePrettyJSON(json(std::string("\xF0\x9F\x94\x92"))), "\"\xF0\x9F\x94\x92\"");
}
