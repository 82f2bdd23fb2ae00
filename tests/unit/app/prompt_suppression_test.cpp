#include "common/constants.h"
#include "app/prompt_suppression.h"
#include "crypto/manifest.h"
#include "common/errors.h"
#include "tests/support/expectations.h"
#include "tests/support/suppression_fakes.h"
#include "tests/support/registry_fakes.h"

#include <gtest/gtest.h>

#include <limits>

using namespace ferrolatch;
using namespace ferrolatch::testing;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const std::string domain = "com.apple.APFSUserAgent";
const std::string upperUUID = "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B";
const std::string lowerUUID = "6f1c9a2e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
const std::string agentFile = "/sysroot/System/Library/CoreServices/APFSUserAgent";
const std::string capableAgent = "\x7f" "ELF\0\0junk DontUnlockVolume\0more No prompt required\0tail"s;

const std::string capabilityMissing =
    "this macOS build does not expose the per-volume APFS prompt suppression used by Ferrolatch";
const std::string invalidUUID = "refusing to suppress the APFS prompt for an invalid volume UUID";

PreferenceValue marker() { return PreferenceValue::Dictionary {{"DontUnlockVolume", "2999-01-01 00:00:00"}}; }

// A Mac with a capable APFS agent, an empty preference domain and no agent running.
struct Mac {
    Mac()
    {
        paths.systemRoot = "/sysroot";
        for (std::string path : {"/sysroot", "/sysroot/System", "/sysroot/System/Library",
                                 "/sysroot/System/Library/CoreServices"})
            files.putDirectory(path);
        files.put(agentFile, capableAgent);
    }
    PromptSuppressionServices services()
    {
        return {files, paths, preferences, tools, 501, [this](std::chrono::milliseconds pause) { pauses.push_back(pause); }};
    }
    bool install(std::string_view uuid) { return installAPFSPromptSuppression(services(), uuid); }
    std::optional<PreferenceValue> stored(const std::string& key)
    {
        auto found = preferences.stored[domain].find(key);
        return found == preferences.stored[domain].end() ? std::nullopt : std::optional(found->second);
    }

    RegistryFiles files;
    RegistryPaths paths;
    MemoryPreferences preferences;
    AgentTools tools;
    std::vector<std::chrono::milliseconds> pauses;
};

}

TEST(PromptSuppressionCapability, NeedsBothStringsInTheSystemsAgent)
{
    struct Case {
        const char* name;
        std::optional<std::string> contents;
        bool capable;
    };
    const Case cases[] = {
        {"both strings among binary bytes", capableAgent, true},
        {"strings in the other order", "No prompt required...DontUnlockVolume", true},
        {"only the preference name", "DontUnlockVolume", false},
        {"only the prompt text", "No prompt required", false},
        {"different case", "dontunlockvolume No prompt required", false},
        {"empty file", "", false},
        {"no agent", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mac mac;
        mac.files.entries.erase(agentFile);
        if (c.contents)
            mac.files.put(agentFile, *c.contents);
        EXPECT_EQ(apfsPromptSuppressionCapable(mac.files, mac.paths), c.capable);
    }
    Mac unreadable;
    unreadable.files.fail("readFile");
    EXPECT_FALSE(apfsPromptSuppressionCapable(unreadable.files, unreadable.paths));
    // The agent is looked for where this Mac keeps system files, not on the host.
    Mac unmapped;
    unmapped.paths.systemRoot = "";
    EXPECT_FALSE(apfsPromptSuppressionCapable(unmapped.files, unmapped.paths));
}

TEST(PromptSuppressionInstall, ChecksCapabilityFirstThenTheUUID)
{
    Mac incapable;
    incapable.files.put(agentFile, "DontUnlockVolume only");
    EXPECT_PROOF_ERROR(incapable.install("not-a-uuid"), capabilityMissing);
    EXPECT_TRUE(incapable.preferences.calls.empty());

    for (const char* text : {"not-a-uuid", "", "6F1C9A2E3B4D4E5F8A9B0C1D2E3F4A5B", "{6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B}",
                             "6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5G", " 6F1C9A2E-3B4D-4E5F-8A9B-0C1D2E3F4A5B",
                             "6F1C9A2E-3B4D-4E5F-8A9B0-C1D2E3F4A5B"}) {
        SCOPED_TRACE(text);
        Mac mac;
        EXPECT_PROOF_ERROR(mac.install(text), invalidUUID);
        EXPECT_TRUE(mac.preferences.calls.empty());
    }
}

TEST(PromptSuppressionInstall, WritesSynchronizesAndVerifiesUnderTheUpperCaseKey)
{
    Mac mac;
    EXPECT_TRUE(mac.install(lowerUUID));
    EXPECT_EQ(mac.stored(upperUUID), marker());
    EXPECT_EQ(mac.preferences.stored[domain].size(), 1u);
    EXPECT_EQ(mac.preferences.calls, (std::vector<std::string> {"copy " + upperUUID, "set " + upperUUID,
                                                                "synchronize " + domain, "copy " + upperUUID}));
}

TEST(PromptSuppressionInstall, AnExistingMarkerIsLeftAloneAndReportsNoChange)
{
    Mac mac;
    ASSERT_TRUE(mac.install(upperUUID));
    mac.preferences.calls.clear();
    EXPECT_FALSE(mac.install(lowerUUID));
    EXPECT_EQ(mac.preferences.calls, std::vector<std::string> {"copy " + upperUUID});
}

TEST(PromptSuppressionInstall, MergesIntoTheVolumesDictionaryOrReplacesAnotherValue)
{
    const PreferenceValue::Other date {"<date>2024-05-01T00:00:00Z</date>"};
    struct Case {
        const char* name;
        PreferenceValue before;
        PreferenceValue after;
    };
    const Case cases[] = {
        {"other entries kept", PreferenceValue::Dictionary {{"LastSeen", date}, {"Note", "kept"}},
         PreferenceValue::Dictionary {{"DontUnlockVolume", "2999-01-01 00:00:00"}, {"LastSeen", date}, {"Note", "kept"}}},
        {"different date string", PreferenceValue::Dictionary {{"DontUnlockVolume", "2030-01-01 00:00:00"}}, marker()},
        {"marker of another kind", PreferenceValue::Dictionary {{"DontUnlockVolume", date}}, marker()},
        {"marker as a dictionary", PreferenceValue::Dictionary {{"DontUnlockVolume", marker()}}, marker()},
        {"a string instead of a dictionary", "2999-01-01 00:00:00", marker()},
        {"a date instead of a dictionary", date, marker()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mac mac;
        mac.preferences.stored[domain][upperUUID] = c.before;
        mac.preferences.stored[domain]["11111111-2222-4333-8444-555555555555"] = marker();
        EXPECT_TRUE(mac.install(upperUUID));
        EXPECT_EQ(mac.stored(upperUUID), c.after);
        EXPECT_EQ(mac.stored("11111111-2222-4333-8444-555555555555"), marker()) << "other volumes untouched";
    }
}

TEST(PromptSuppressionInstall, ReportsWhatThePreferenceSystemDidNotKeep)
{
    Mac unpersisted;
    unpersisted.preferences.persists = false;
    EXPECT_PROOF_ERROR(unpersisted.install(upperUUID),
                       "macOS did not persist Ferrolatch's per-user APFS prompt suppression");

    Mac forgetful;
    forgetful.preferences.forgetsWrites = true;
    EXPECT_PROOF_ERROR(forgetful.install(upperUUID),
                       "macOS did not verify Ferrolatch's per-user APFS prompt suppression");

    Mac stale; // the read-back still sees an older marker
    stale.preferences.forgetsWrites = true;
    stale.preferences.stored[domain][upperUUID] = PreferenceValue::Dictionary {{"DontUnlockVolume", "1999-01-01 00:00:00"}};
    EXPECT_PROOF_ERROR(stale.install(upperUUID),
                       "macOS did not verify Ferrolatch's per-user APFS prompt suppression");
}

// Forgetting a drive takes its marker off and leaves everything else as it
// was: the volume's other settings, and every other volume's marker.
TEST(PromptSuppressionRemoval, TakesOffOnlyTheVolumesMarker)
{
    const std::string other = "11111111-2222-4333-8444-555555555555";
    const PreferenceValue::Other date {"<date>2024-05-01T00:00:00Z</date>"};
    struct Case {
        const char* name;
        std::optional<PreferenceValue> before;
        bool changed;
        std::optional<PreferenceValue> after;
    };
    const Case cases[] = {
        {"the marker alone: the volume's entry goes", marker(), true, std::nullopt},
        {"other settings stay", PreferenceValue::Dictionary {{"DontUnlockVolume", "2999-01-01 00:00:00"}, {"LastSeen", date}},
         true, PreferenceValue::Dictionary {{"LastSeen", date}}},
        {"no marker: nothing changes", PreferenceValue::Dictionary {{"LastSeen", date}}, false,
         PreferenceValue::Dictionary {{"LastSeen", date}}},
        {"nothing stored", std::nullopt, false, std::nullopt},
        {"a value of another kind is not ours", PreferenceValue("2999-01-01 00:00:00"), false,
         PreferenceValue("2999-01-01 00:00:00")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mac mac;
        if (c.before)
            mac.preferences.stored[domain][upperUUID] = *c.before;
        mac.preferences.stored[domain][other] = marker();
        EXPECT_EQ(removeAPFSPromptSuppression(mac.services(), lowerUUID), c.changed);
        EXPECT_EQ(mac.stored(upperUUID), c.after);
        EXPECT_EQ(mac.stored(other), marker());
    }

    Mac unpersisted;
    unpersisted.preferences.stored[domain][upperUUID] = marker();
    unpersisted.preferences.persists = false;
    EXPECT_PROOF_ERROR(removeAPFSPromptSuppression(unpersisted.services(), upperUUID),
                       "macOS did not persist Ferrolatch's per-user APFS prompt suppression");
    EXPECT_PROOF_ERROR(removeAPFSPromptSuppression(unpersisted.services(), "not-a-uuid"), invalidUUID);
}

TEST(APFSUserAgentProcesses, ParsesWhitespaceSeparatedDecimalIDs)
{
    struct Case {
        std::string output;
        std::set<std::int32_t> ids;
    };
    const Case cases[] = {
        {"123\n456\n", {123, 456}},
        {"123\nnot-a-number\n456", {123, 456}},
        {"  7\t8\r\n9  \n\n", {7, 8, 9}},
        {"42\n42\n", {42}},
        {"2147483647\n2147483648\n-2147483648\n-2147483649\n", {2147483647, std::numeric_limits<std::int32_t>::min()}},
        {"+5 -3 + - +-1 12a 0x10 1.5", {5, -3}},
        {"", {}},
        {"\n \t", {}},
        {"123\n\xff\xfe\n", {}}, // not UTF-8 at all: nothing is trusted
        {"123\n\xc3\xa9\n", {123}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        EXPECT_EQ(parseProcessIDs(c.output), c.ids);
    }
}

TEST(APFSUserAgentProcesses, AsksPgrepForThisUsersAgentsOnly)
{
    Mac mac;
    mac.tools.running("123\n456\n");
    EXPECT_EQ(runningAPFSUserAgentPIDs(mac.tools, 501), (std::set<std::int32_t> {123, 456}));
    ASSERT_EQ(mac.tools.calls.size(), 1u);
    EXPECT_EQ(mac.tools.calls[0].executable, "/usr/bin/pgrep");
    EXPECT_EQ(mac.tools.calls[0].arguments, (std::vector<std::string> {"-x", "-u", "501", "APFSUserAgent"}));
    EXPECT_FALSE(mac.tools.calls[0].hadStandardInput);

    Mac none;
    none.tools.running("");
    EXPECT_TRUE(runningAPFSUserAgentPIDs(none.tools, 501).empty());
    Mac failing;
    failing.tools.pgrep.push_back({2, "123\n", "pgrep: bad option"});
    EXPECT_TRUE(runningAPFSUserAgentPIDs(failing.tools, 501).empty());
    Mac missing;
    missing.tools.pgrepLaunchFails = true;
    EXPECT_TRUE(runningAPFSUserAgentPIDs(missing.tools, 501).empty());
}

TEST(StaleAPFSUserAgent, NoRunningAgentMeansNothingToStop)
{
    Mac mac;
    mac.tools.running("");
    dismissStaleAPFSUserAgent(mac.services());
    EXPECT_EQ(mac.tools.count("/usr/bin/killall"), 0);
    EXPECT_TRUE(mac.pauses.empty());
}

TEST(StaleAPFSUserAgent, StopsTheAgentsAndWaitsUntilTheOldOnesAreGone)
{
    Mac mac;
    mac.tools.running("123\n456\n"); // before
    mac.tools.running("123\n456\n"); // first poll: still there
    mac.tools.running("456\n");      // second poll: one left
    mac.tools.running("");           // third poll: gone
    dismissStaleAPFSUserAgent(mac.services());
    ASSERT_EQ(mac.tools.count("/usr/bin/killall"), 1);
    EXPECT_EQ(mac.tools.calls[1].arguments, std::vector<std::string> {"APFSUserAgent"});
    EXPECT_FALSE(mac.tools.calls[1].hadStandardInput);
    EXPECT_EQ(mac.tools.count("/usr/bin/pgrep"), 4);
    EXPECT_EQ(mac.pauses, (std::vector<std::chrono::milliseconds> {50ms, 50ms}));
}

TEST(StaleAPFSUserAgent, AnAgentRestartedUnderANewIDIsNotStale)
{
    Mac mac;
    mac.tools.running("123\n");
    mac.tools.running("123\n789\n"); // relaunched while the old one lingers: keep waiting
    mac.tools.running("789\n");      // only the new one: done
    dismissStaleAPFSUserAgent(mac.services());
    EXPECT_EQ(mac.pauses.size(), 1u);
}

TEST(StaleAPFSUserAgent, GivesUpAfterTwentyPolls)
{
    Mac mac;
    mac.tools.running("123\n"); // and forever after
    EXPECT_PROOF_ERROR(dismissStaleAPFSUserAgent(mac.services()),
                       "macOS did not dismiss its stale APFS password agent");
    EXPECT_EQ(mac.tools.count("/usr/bin/pgrep"), 21);
    EXPECT_EQ(mac.pauses, std::vector<std::chrono::milliseconds>(20, 50ms));
}

TEST(StaleAPFSUserAgent, AKillallFailureIsTheToolRunnersError)
{
    Mac mac;
    mac.tools.running("123\n");
    mac.tools.killall = {1, "", "No matching processes belonging to you were found\n"};
    EXPECT_PROOF_ERROR(dismissStaleAPFSUserAgent(mac.services()),
                       "killall failed: No matching processes belonging to you were found");
    EXPECT_EQ(mac.tools.count("/usr/bin/pgrep"), 1);
}

TEST(PromptSuppressionRegistration, RegisteringADriveMarksItAndDismissesTheAgentOnce)
{
    Mac mac;
    mac.files.putDirectory("/Users");
    mac.files.putDirectory("/Users/casey");
    mac.files.putDirectory("/Users/casey/Library");
    mac.files.putDirectory("/Users/casey/Library/Application Support");
    mac.tools.running("123\n");
    mac.tools.running("");
    APFSPromptSuppression suppression(mac.services());

    Manifest manifest = decodeManifest(R"({"version": 1, "relyingPartyID": ")" + std::string(relyingPartyDomain)
                                       + R"(", "credentialID": "Y3Jl", "prfSalt": "c2FsdA", "wrappedPassword": "d3JhcA",
        "createdAt": "2026-01-31T09:15:00Z", "resourceKind": "native-apfs-volume", "volumeUUID": ")" + lowerUUID
                                       + R"("})");
    registerDrive(mac.files, mac.paths, suppression, manifest);
    EXPECT_EQ(mac.stored(upperUUID), marker());
    EXPECT_EQ(mac.tools.count("/usr/bin/killall"), 1);

    // Registering again changes nothing, so no agent is stopped.
    mac.tools.running("789\n");
    registerDrive(mac.files, mac.paths, suppression, manifest);
    EXPECT_EQ(mac.tools.count("/usr/bin/killall"), 1);
}
