// The virtual Mac's APFS agent: when it prompts for a locked volume's password.
#include "macsim/password_agent.h"
#include "platform/macsim/macsim_preferences.h"

#include <gtest/gtest.h>

using namespace ferrolatch;

namespace {

const std::string uuid = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
const std::string now = "2026-12-10 18:00:00";
const std::string capableAgent = std::string("agent\0DontUnlockVolume\0No prompt required\0", 43);
const std::string olderAgent = std::string("agent\0DontUnlockVolume\0", 23);

std::string domainWith(const std::string& key, const PreferenceValue& value)
{
    return encodePreferenceDomain({{key, value}});
}

PreferenceValue settings(const PreferenceValue& until)
{
    return PreferenceValue(PreferenceValue::Dictionary {{"Other", "kept"}, {"DontUnlockVolume", until}});
}

}

TEST(PasswordAgent, PromptsUnlessAKnownPreferenceStillHoldsForTheVolume)
{
    struct Case {
        std::string name;
        std::string agent;
        std::string domain;
        bool prompts;
    };
    const Case cases[] = {
        {"marked", capableAgent, domainWith(uuid, settings("2999-01-01 00:00:00")), false},
        {"marked, asked in lower case", capableAgent, domainWith(uuid, settings("2999-01-01 00:00:00")), false},
        {"an agent without the preference", olderAgent, domainWith(uuid, settings("2999-01-01 00:00:00")), true},
        {"no preference file", capableAgent, "", true},
        {"an unreadable preference file", capableAgent, "<plist", true},
        {"another volume marked", capableAgent,
         domainWith("00000000-0000-0000-0000-000000000000", settings("2999-01-01 00:00:00")), true},
        {"the entry not a dictionary", capableAgent, domainWith(uuid, "2999-01-01 00:00:00"), true},
        {"no date", capableAgent,
         domainWith(uuid, PreferenceValue(PreferenceValue::Dictionary {{"Other", "kept"}})), true},
        {"a date passed", capableAgent, domainWith(uuid, settings("2020-01-01 00:00:00")), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string asked = c.name.find("lower case") != std::string::npos ? "6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b" : uuid;
        EXPECT_EQ(macsim::promptWanted(c.agent, c.domain, asked, now), c.prompts);
    }
    EXPECT_EQ(macsim::promptLine(uuid), "APFSUserAgent: password prompt for volume " + uuid);
}
