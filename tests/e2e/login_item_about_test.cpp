// The login item commands and the About window on a fresh virtual Mac: the
// real product, its login item record and workspace, and macsim loginitem.
#include "common/build_config.h"
#include "tests/e2e/e2e_harness.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace ferrolatch::e2e;
using nlohmann::json;

namespace {

const std::string productWebsite = std::string("https://") + ferrolatch::build::relyingPartyDomain;
const std::string makerWebsite = ferrolatch::build::makerWebsite;

std::string hostOf(const std::string& url)
{
    std::string rest = url.substr(url.find("://") + 3);
    return rest.substr(0, rest.find_first_of("/:?#"));
}

// The agent commands show no window, so they run with neither a display nor
// a script to answer alerts.
const std::map<std::string, std::string> withoutDisplayOrScript {
    {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};

json loginItem(const VirtualMac& mac) { return json::parse(mac.macsimOrThrow({"loginitem"})); }

std::vector<json> jsonLines(const std::string& path)
{
    std::vector<json> lines;
    std::ifstream stream(path);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(json::parse(line));
    return lines;
}

std::string openLog(const VirtualMac& mac) { return mac.sysroot() + "/private/var/log/macsim/open.jsonl"; }

TEST(AgentCommandsOnVirtualMac, EnableTwiceRegistersOnceThenDisable)
{
    VirtualMac mac;
    EXPECT_EQ(loginItem(mac)["status"], "notRegistered");

    for (int run = 0; run < 2; ++run) {
        RunResult enabled = mac.ferrolatch({"agent-enable"}, withoutDisplayOrScript);
        EXPECT_EQ(enabled.status, 0) << enabled.err;
        EXPECT_EQ(enabled.out, "FERROLATCH AGENT: enabled\n");
    }
    json item = loginItem(mac);
    EXPECT_EQ(item["status"], "enabled");
    EXPECT_EQ(item["registerCalls"], 1);

    for (int run = 0; run < 2; ++run) {
        RunResult disabled = mac.ferrolatch({"agent-disable"}, withoutDisplayOrScript);
        EXPECT_EQ(disabled.status, 0) << disabled.err;
        EXPECT_EQ(disabled.out, "FERROLATCH AGENT: not registered\n");
    }
    item = loginItem(mac);
    EXPECT_EQ(item["status"], "notRegistered");
    EXPECT_EQ(item["unregisterCalls"], 1);
}

TEST(AgentCommandsOnVirtualMac, StatusFromEachStatusTheMacCanReport)
{
    struct Case {
        std::string set;
        std::string text;
    } cases[] = {{"notRegistered", "not registered"},
                 {"enabled", "enabled"},
                 {"requiresApproval", "requires approval in System Settings"},
                 {"notFound", "not found"},
                 {"9", "unknown"}};
    VirtualMac mac;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        mac.macsimOrThrow({"loginitem", "set", c.set});
        RunResult status = mac.ferrolatch({"agent-status"}, withoutDisplayOrScript);
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_EQ(status.out, "FERROLATCH AGENT: " + c.text + "\nAPFS PROMPT SUPPRESSION: available\n");
    }
    json item = loginItem(mac);
    EXPECT_EQ(item["registerCalls"], 0);
    EXPECT_EQ(item["unregisterCalls"], 0);
}

TEST(AgentCommandsOnVirtualMac, WaitingForApprovalIsNotRegisteredAgain)
{
    VirtualMac mac;
    mac.macsimOrThrow({"loginitem", "set", "requiresApproval"});
    RunResult enabled = mac.ferrolatch({"agent-enable"}, withoutDisplayOrScript);
    EXPECT_EQ(enabled.out, "FERROLATCH AGENT: requires approval in System Settings\n");
    EXPECT_EQ(loginItem(mac)["registerCalls"], 0);

    RunResult disabled = mac.ferrolatch({"agent-disable"}, withoutDisplayOrScript);
    EXPECT_EQ(disabled.out, "FERROLATCH AGENT: not registered\n");
    EXPECT_EQ(loginItem(mac)["unregisterCalls"], 1);
}

TEST(AgentCommandsOnVirtualMac, AFailedRegistrationEndsWithThePlatformError)
{
    VirtualMac mac;
    mac.macsimOrThrow({"loginitem", "fault", "register", "SMAppServiceErrorDomain", "1", "Operation not permitted."});
    RunResult failed = mac.ferrolatch({"agent-enable"}, withoutDisplayOrScript);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "ferrolatch-proof: Operation not permitted.\n");
    json item = loginItem(mac);
    EXPECT_EQ(item["status"], "notRegistered");
    EXPECT_TRUE(item["faults"].empty()); // it fired once

    RunResult again = mac.ferrolatch({"agent-enable"}, withoutDisplayOrScript);
    EXPECT_EQ(again.out, "FERROLATCH AGENT: enabled\n");

    mac.macsimOrThrow({"loginitem", "fault", "unregister", "SMAppServiceErrorDomain", "3", "No such job"});
    RunResult disable = mac.ferrolatch({"agent-disable"}, withoutDisplayOrScript);
    EXPECT_EQ(disable.status, 1);
    EXPECT_EQ(disable.err, "ferrolatch-proof: No such job\n");
    EXPECT_EQ(loginItem(mac)["status"], "enabled");
}

TEST(AgentCommandsOnVirtualMac, StatusOnASystemWithoutTheCapability)
{
    VirtualMac mac({"--no-prompt-suppression"});
    RunResult status = mac.ferrolatch({"agent-status"}, withoutDisplayOrScript);
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out, "FERROLATCH AGENT: not registered\nAPFS PROMPT SUPPRESSION: unavailable\n");
}

TEST(MacsimLoginItem, RefusesWhatItCannotSet)
{
    VirtualMac mac;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string> {"loginitem", "set", "on"}, {"loginitem", "fault", "launch", "D", "1", "x"},
          {"loginitem", "fault", "register", "D", "one", "x"}, {"loginitem", "set"}}) {
        RunResult refused = mac.macsim(arguments);
        EXPECT_EQ(refused.status, 1) << arguments[1];
        EXPECT_FALSE(refused.err.empty());
    }
    EXPECT_EQ(loginItem(mac)["status"], "notRegistered");
}

struct AboutRun {
    RunResult result;
    json alert;
    std::vector<json> opened;
};

AboutRun runAbout(const VirtualMac& mac, const std::string& button)
{
    std::string transcript = mac.sysroot() + "/about-transcript.jsonl";
    std::remove(transcript.c_str());
    std::remove(openLog(mac).c_str());
    json script = json::array({{{"expect", "Ferrolatch"}, {"button", button}}});
    AboutRun run;
    run.result = mac.ferrolatch({"about"}, {{"FERROLATCH_UI_SCRIPT", script.dump()},
                                            {"FERROLATCH_UI_TRANSCRIPT", transcript}});
    for (const json& line : jsonLines(transcript))
        if (line["kind"] == "alert")
            run.alert = line;
    run.opened = jsonLines(openLog(mac));
    return run;
}

TEST(AboutOnVirtualMac, EachButtonOnTheRealProduct)
{
    VirtualMac mac;
    struct Case {
        std::string button;
        std::optional<std::string> opened;
    } cases[] = {
        {"Done", std::nullopt},
        {"Check for Updates…", productWebsite + "/updates?version=" + ferrolatch::build::version},
        {"Ferrolatch Website", productWebsite},
        {"QUORVEL", makerWebsite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        AboutRun run = runAbout(mac, c.button);
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(run.result.out, "");
        if (c.opened) {
            ASSERT_EQ(run.opened.size(), 1u);
            EXPECT_EQ(run.opened[0], (json {{"application", ""}, {"targets", {*c.opened}}}));
        } else {
            EXPECT_TRUE(run.opened.empty());
        }
    }
}

TEST(AboutOnVirtualMac, TheTranscriptShowsTheBodyItsLinksAndTheButtons)
{
    VirtualMac mac;
    AboutRun run = runAbout(mac, "Done");
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const json& alert = run.alert;
    EXPECT_EQ(alert["style"], "informational");
    EXPECT_EQ(alert["message"], "Ferrolatch");
    EXPECT_EQ(alert["informative"], "Passkey-unlocked APFS encryption for removable drives.");
    std::vector<std::string> buttons;
    for (const json& button : alert["buttons"])
        buttons.push_back(button["title"]);
    EXPECT_EQ(buttons, (std::vector<std::string> {"Done", "Check for Updates…", "Ferrolatch Website", "QUORVEL"}));
    EXPECT_TRUE(alert["icon"].get<std::string>().ends_with("/Contents/Resources/FerrolatchVolumeIconMetal.icns"));

    const json& body = alert["accessory"];
    EXPECT_EQ(body["kind"], "scrollingRichText");
    std::string text = body["text"];
    std::string versionLine = "Version " + std::string(ferrolatch::build::version) + " (";
    EXPECT_TRUE(text.starts_with(versionLine)) << text.substr(0, 60);
    EXPECT_EQ(text.find(std::string(") · ") + ferrolatch::build::makerNotice + "\n\n"),
              text.find(")")); // the version line ends with the notice and an empty line
    ASSERT_EQ(body["links"].size(), 2u);
    std::vector<std::pair<std::string, std::string>> links;
    for (const json& link : body["links"])
        links.emplace_back(text.substr(link["start"].get<std::size_t>(), link["length"].get<std::size_t>()),
                           link["url"].get<std::string>());
    EXPECT_EQ(links, (std::vector<std::pair<std::string, std::string>> {
                         {hostOf(productWebsite), productWebsite}, {hostOf(makerWebsite), makerWebsite}}));
    EXPECT_EQ(body["links"][0]["start"].get<std::size_t>(), text.find("Learn more: " + hostOf(productWebsite)) + 12);
}

}
