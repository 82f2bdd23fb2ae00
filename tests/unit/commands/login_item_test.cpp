// The login item from the command line and from the menu, from every status
// the service can report.
#include "app/agent_commands.h"
#include "commands/login_item.h"
#include "platform/platform.h"
#include "tests/support/fakes.h"
#include "tests/support/login_item_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

constexpr auto unknownValue = static_cast<LoginItemStatus>(7);

struct Services {
    FakeToolRunner tools;
    std::ostringstream out;
    MemoryFiles files;
    RecordingLog log;
    FakePaths paths;
    FakeWorkspace workspace;
    FakeLoginItem item {LoginItemStatus::NotRegistered};

    Platform platform()
    {
        return Platform {.tools = tools, .out = out, .files = files, .log = log, .paths = paths,
                         .workspace = workspace, .loginItem = item};
    }
};

enum class Command { Enable, Disable };

struct CommandCase {
    std::string name;
    LoginItemStatus from;
    Command command;
    int registrations;   // after both runs
    int unregistrations; // after both runs
    std::string firstLine;
    std::string secondLine;
};

const CommandCase commandCases[] = {
    {"enable, not registered", LoginItemStatus::NotRegistered, Command::Enable, 1, 0, "enabled", "enabled"},
    {"enable, enabled", LoginItemStatus::Enabled, Command::Enable, 0, 0, "enabled", "enabled"},
    {"enable, requires approval", LoginItemStatus::RequiresApproval, Command::Enable, 0, 0,
     "requires approval in System Settings", "requires approval in System Settings"},
    {"enable, not found", LoginItemStatus::NotFound, Command::Enable, 1, 0, "enabled", "enabled"},
    {"enable, unknown", unknownValue, Command::Enable, 0, 0, "unknown", "unknown"},
    {"disable, not registered", LoginItemStatus::NotRegistered, Command::Disable, 0, 0, "not registered",
     "not registered"},
    {"disable, enabled", LoginItemStatus::Enabled, Command::Disable, 0, 1, "not registered", "not registered"},
    {"disable, requires approval", LoginItemStatus::RequiresApproval, Command::Disable, 0, 1, "not registered",
     "not registered"},
    {"disable, not found", LoginItemStatus::NotFound, Command::Disable, 0, 0, "not found", "not found"},
    {"disable, unknown", unknownValue, Command::Disable, 0, 0, "unknown", "unknown"},
};

TEST(AgentCommands, EachCommandTwiceFromEveryStatus)
{
    for (const CommandCase& c : commandCases) {
        SCOPED_TRACE(c.name);
        Services services;
        services.item.current = c.from;
        Platform platform = services.platform();
        auto handler = c.command == Command::Enable ? agentEnableCommand : agentDisableCommand;
        handler(platform, {});
        handler(platform, {});
        EXPECT_EQ(services.out.str(), "FERROLATCH AGENT: " + c.firstLine + "\nFERROLATCH AGENT: " + c.secondLine + "\n");
        EXPECT_EQ(services.item.registrations, c.registrations);
        EXPECT_EQ(services.item.unregistrations, c.unregistrations);
    }
}

TEST(AgentCommands, FailedRegistrationEndsTheCommandWithThePlatformError)
{
    for (Command command : {Command::Enable, Command::Disable}) {
        Services services;
        services.item.current = command == Command::Enable ? LoginItemStatus::NotRegistered : LoginItemStatus::Enabled;
        services.item.failure = PlatformError("SMAppServiceErrorDomain", 1, "Operation not permitted");
        Platform platform = services.platform();
        try {
            (command == Command::Enable ? agentEnableCommand : agentDisableCommand)(platform, {});
            ADD_FAILURE() << "the command succeeded";
        } catch (const PlatformError& error) {
            EXPECT_STREQ(error.what(), "Operation not permitted");
            EXPECT_TRUE(error.is("SMAppServiceErrorDomain", 1));
        }
        EXPECT_EQ(services.out.str(), "");
    }
}

TEST(AgentCommands, StatusPrintsTheAgentLineThenTheCapabilityLine)
{
    const std::string agent = "/System/Library/CoreServices/APFSUserAgent";
    struct Case {
        std::string name;
        std::optional<std::string> executable;
        std::string capability;
    } cases[] = {
        {"capable", "ELF...DontUnlockVolume...No prompt required...", "available"},
        {"an older system", "ELF...DontUnlockVolume...", "unavailable"},
        {"no agent", std::nullopt, "unavailable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Services services;
        services.item.current = LoginItemStatus::RequiresApproval;
        if (c.executable)
            services.files.put(agent, *c.executable, 0755);
        Platform platform = services.platform();
        agentStatusCommand(platform, {});
        EXPECT_EQ(services.out.str(), "FERROLATCH AGENT: requires approval in System Settings\n"
                                      "APFS PROMPT SUPPRESSION: " + c.capability + "\n");
        EXPECT_EQ(services.item.registrations + services.item.unregistrations, 0);
    }
}

struct ToggleCase {
    std::string name;
    LoginItemStatus from;
    bool fails;
    int registrations;
    int unregistrations;
    bool rebuilt;
    bool checkedAfter;
};

const ToggleCase toggleCases[] = {
    {"not registered", LoginItemStatus::NotRegistered, false, 1, 0, true, true},
    {"enabled", LoginItemStatus::Enabled, false, 0, 1, true, false},
    {"requires approval registers again", LoginItemStatus::RequiresApproval, false, 1, 0, true, false},
    {"not found", LoginItemStatus::NotFound, false, 1, 0, true, true},
    {"unknown", unknownValue, false, 1, 0, true, true},
    {"failed registration keeps the mark off", LoginItemStatus::NotRegistered, true, 1, 0, false, false},
    {"failed unregistration keeps the mark on", LoginItemStatus::Enabled, true, 0, 1, false, true},
};

TEST(ToggleLoginItem, FromEveryStatus)
{
    for (const ToggleCase& c : toggleCases) {
        SCOPED_TRACE(c.name);
        FakeLoginItem item(c.from);
        if (c.fails)
            item.failure = PlatformError("SMAppServiceErrorDomain", 1, "Operation not permitted");
        std::vector<std::string> alerts;
        bool rebuilt = toggleLoginItem(item, [&](std::string_view title, const std::exception& error) {
            alerts.push_back(std::string(title) + ": " + error.what());
        });
        EXPECT_EQ(rebuilt, c.rebuilt);
        EXPECT_EQ(item.registrations, c.registrations);
        EXPECT_EQ(item.unregistrations, c.unregistrations);
        EXPECT_EQ(startsAtLogin(item), c.checkedAfter);
        if (c.fails)
            EXPECT_EQ(alerts, std::vector<std::string> {"Could not update Start at Login: Operation not permitted"});
        else
            EXPECT_TRUE(alerts.empty());
    }
}

TEST(LoginItemStatusText, EachValueAndAnyOther)
{
    EXPECT_EQ(agentLine(LoginItemStatus::NotRegistered), "FERROLATCH AGENT: not registered");
    EXPECT_EQ(agentLine(LoginItemStatus::Enabled), "FERROLATCH AGENT: enabled");
    EXPECT_EQ(agentLine(LoginItemStatus::RequiresApproval), "FERROLATCH AGENT: requires approval in System Settings");
    EXPECT_EQ(agentLine(LoginItemStatus::NotFound), "FERROLATCH AGENT: not found");
    EXPECT_EQ(agentLine(static_cast<LoginItemStatus>(4)), "FERROLATCH AGENT: unknown");
    EXPECT_EQ(agentLine(static_cast<LoginItemStatus>(-1)), "FERROLATCH AGENT: unknown");
}

}
