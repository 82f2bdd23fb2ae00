// What the agent keeps up beside its menu and scans: the one agent per user,
// the unlock window it opens for the user's commands, the registry it
// follows, and the capability it probes once.
#include "commands/agent_unlock_window.h"
#include "tests/unit/agent/agent_bench.h"

#include <gtest/gtest.h>

namespace ferrolatch::testing {
namespace {

const std::string vaultUUID = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
const std::string registry = "/Users/a/Library/Application Support/Ferrolatch/Drives";
const std::string apfsAgentFile = "/System/Library/CoreServices/APFSUserAgent";

TEST(AgentInstance, ASecondAgentOfTheUserSaysSoAndLeavesTheFirstRunning)
{
    AgentBench bench;
    std::ostringstream second;
    bench.loop.onRun = [&] {
        Platform secondAgent {.tools = bench.machine, .out = second, .files = bench.files, .log = bench.log,
                              .paths = bench.paths, .workspace = bench.workspace, .mainLoop = bench.loop,
                              .ui = bench.ui, .channels = bench.channels};
        runAgent(secondAgent, bench.suppression, [] { return true; });
    };
    runAgent(bench.platform, bench.suppression, [] { return true; });
    EXPECT_EQ(second.str(), "Ferrolatch is already running in the menu bar.\n");
    // The second one built nothing: one application, one guard, one menu.
    EXPECT_EQ(bench.count("prepare application"), 1);
    EXPECT_EQ(bench.arbitration.sessions, 1);
    // Once the first has ended, the user may start one again.
    EXPECT_TRUE(bench.channels.offered.empty());
}

TEST(AgentUnlockService, ACommandsWindowLetsOneVolumeThroughUntilItHangsUp)
{
    AgentBench bench;
    FakeDrive drive;
    bench.enroll(drive);
    auto service = ExplicitUnlockService::offer(bench.channels);
    ASSERT_TRUE(service);
    auto agent = FerrolatchAgent::create(bench.platform, bench.suppression, [] { return true; }, std::move(service));
    EXPECT_TRUE(bench.blocked(*agent, drive));

    {
        AgentUnlockWindow window = openAgentUnlockWindow(bench.channels, "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9");
        EXPECT_TRUE(window.open());
        EXPECT_FALSE(bench.blocked(*agent, drive));
    }
    EXPECT_TRUE(bench.blocked(*agent, drive));

    // Bounded in time, whatever the command does.
    auto connection = bench.channels.connect(agent_channel::serviceName());
    EXPECT_EQ(connection->request("explicit-unlock " + drive.uuid, std::chrono::seconds(1)), "allowed");
    EXPECT_EQ(static_cast<FakeLocalChannels::Connection&>(*connection).keptFor, agent_channel::longestWindow);

    for (const char* refused : {"explicit-unlock not-a-uuid", "explicit-unlock", "unlock everything", ""})
        EXPECT_EQ(bench.channels.connect(agent_channel::serviceName())->request(refused, std::chrono::seconds(1)),
                  "refused")
            << refused;
}

TEST(AgentUnlockService, WithoutAnAgentACommandGoesOnAlone)
{
    FakeLocalChannels channels;
    EXPECT_FALSE(openAgentUnlockWindow(channels, vaultUUID).open());
    // An agent that refuses leaves the command as alone as none.
    auto offer = channels.offer(agent_channel::serviceName(), [](std::string_view) {
        return ChannelReply {"refused", nullptr, {}};
    });
    EXPECT_FALSE(openAgentUnlockWindow(channels, vaultUUID).open());
    EXPECT_EQ(agent_channel::parseExplicitUnlockRequest(agent_channel::explicitUnlockRequest(vaultUUID)), vaultUUID);
}

// A drive forgotten from the command line is no longer guarded once the
// registry's change is heard; one registered elsewhere is guarded.
TEST(AgentRegistry, TheGuardFollowsTheRegistry)
{
    AgentBench bench;
    FakeDrive vault;
    bench.enroll(vault);
    auto agent = bench.start();
    bench.settle();
    ASSERT_TRUE(bench.blocked(*agent, vault));

    unregisterDrive(bench.files, bench.paths, vault.uuid);
    EXPECT_TRUE(bench.blocked(*agent, vault)); // nothing heard yet
    bench.fileEvents.fire(registry);
    bench.settle();
    EXPECT_FALSE(bench.blocked(*agent, vault));

    registerDrive(bench.files, bench.paths, bench.suppression, driveManifest(vault));
    bench.fileEvents.fire(registry);
    EXPECT_TRUE(bench.blocked(*agent, vault));
}

TEST(AgentCapability, ProbedOncePerRunAndAgainWhenTheSystemAgentChanges)
{
    AgentBench bench;
    bench.capable = false;
    FakeDrive vault;
    bench.enroll(vault);
    bench.suppression.installed.clear();
    auto agent = bench.start();
    bench.settle();
    bench.statusItem.click("Scan for Ferrolatch Drives");
    bench.settle();
    EXPECT_EQ(bench.probes, 1);
    EXPECT_FALSE(agent->promptSuppressionAvailable());
    EXPECT_TRUE(bench.suppression.installed.empty());

    // A system update brings the capability: the markers follow at once.
    bench.capable = true;
    bench.fileEvents.fire(apfsAgentFile);
    EXPECT_EQ(bench.probes, 2);
    EXPECT_TRUE(agent->promptSuppressionAvailable());
    EXPECT_EQ(bench.suppression.installed, (std::vector<std::string> {vault.uuid}));
}

// On a Mac whose APFS agent ignores the marker, a plugged-in drive is still
// registered (without the marker) and unlocked; the guard's claim keeps the
// system's prompt away while the agent runs.
TEST(AgentCapability, AMacWithoutPromptSuppressionStillOpensADrive)
{
    AgentBench bench;
    bench.capable = false;
    auto agent = bench.start();
    bench.settle();
    FakeDrive& drive = bench.machine.add(FakeDrive {});
    bench.machine.attach(drive, bench.arbitration);
    bench.settle();
    EXPECT_TRUE(bench.ui.alerts.empty()) << bench.ui.alerts.front().informativeText;
    EXPECT_EQ(registeredVolumeUUIDs(bench.files, bench.paths), (std::set<std::string> {drive.uuid}));
    EXPECT_TRUE(bench.suppression.installed.empty());
    EXPECT_FALSE(bench.machine.drive("Vault").locked);
    EXPECT_TRUE(bench.blocked(*agent, drive));
    // At start, a registered volume without the capability is reported, as before.
    AgentBench again;
    again.capable = false;
    again.enroll(FakeDrive {});
    auto restarted = again.start();
    ASSERT_FALSE(again.log.lines.empty());
    EXPECT_EQ(again.log.lines.front(), "Ferrolatch could not install APFS prompt suppression for " + vaultUUID
                                           + ": " + std::string(promptSuppressionUnsupported));
}

}
}
