// The menu-bar agent as a real process on a virtual Mac: `ferrolatch-proof`
// without arguments shows its status item until "Quit Ferrolatch".
#include "tests/e2e/e2e_harness.h"
#include "tests/e2e/live_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace ferrolatch::e2e {
namespace {

// The menu bar's text once it shows the agent's menu; empty if the agent died.
std::string menuOnceShown(const VirtualMac& mac, LiveProcess& agent)
{
    std::string shown;
    for (int attempt = 0; attempt < 500 && shown.find("Quit Ferrolatch") == std::string::npos; ++attempt) {
        if (agent.hasExited()) {
            std::string error;
            int status = agent.wait(error);
            ADD_FAILURE() << "the agent ended with " << status << ": " << error;
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        shown = mac.macsim({"menubar"}).out;
    }
    return shown;
}

TEST(Agent, ShowsItsMenuAndQuitsFromIt)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT"})
        unsetenv(name);
    VirtualMac mac;
    auto environment = mac.environment();
    environment["FERROLATCH_UI_SCRIPT"] = "[]";
    LiveProcess agent(ferrolatchExecutable(), {}, environment);

    std::string shown = menuOnceShown(mac, agent);
    EXPECT_NE(shown.find("ferrolatch-proof (pid " + std::to_string(agent.pid()) + ")\n"
                         "  icon: FerrolatchStatusIcon\n"
                         "  tooltip: Ferrolatch \u2014 no mounted disk\n"
                         "    Waiting for a Ferrolatch disk  (disabled)\n"),
              std::string::npos)
        << shown;

    RunResult quit = mac.macsim({"menubar", "click", "Quit Ferrolatch"});
    EXPECT_EQ(quit.status, 0) << quit.err;
    EXPECT_EQ(quit.out, "chose Quit Ferrolatch\n");
    std::string error;
    EXPECT_EQ(agent.wait(error), 0) << error;
    EXPECT_EQ(mac.macsim({"menubar"}).out, "");
}

// The row's check mark follows the login item: enabled from the command line
// before the agent starts, toggled off from the menu, and left as it was when
// registration fails.
TEST(Agent, StartAtLoginFollowsTheLoginItem)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT"})
        unsetenv(name);
    VirtualMac mac;
    ASSERT_EQ(mac.ferrolatch({"agent-enable"}).out, "FERROLATCH AGENT: enabled\n");

    auto environment = mac.environment();
    const std::string transcript = mac.sysroot() + "/transcript.jsonl";
    environment["FERROLATCH_UI_SCRIPT"] = R"([{"expect": "Could not update Start at Login", "button": "OK"}])";
    environment["FERROLATCH_UI_TRANSCRIPT"] = transcript;
    LiveProcess agent(ferrolatchExecutable(), {}, environment);
    EXPECT_NE(menuOnceShown(mac, agent).find("  \u2713 Start at Login\n"), std::string::npos);

    EXPECT_EQ(mac.macsim({"menubar", "click", "Start at Login"}).status, 0);
    EXPECT_NE(mac.macsim({"menubar"}).out.find("    Start at Login\n"), std::string::npos);
    EXPECT_NE(mac.macsimOrThrow({"loginitem"}).find("\"notRegistered\""), std::string::npos);

    mac.macsimOrThrow({"loginitem", "fault", "register", "SMAppServiceErrorDomain", "1", "Operation not permitted."});
    EXPECT_EQ(mac.macsim({"menubar", "click", "Start at Login"}).status, 0);
    EXPECT_NE(mac.macsim({"menubar"}).out.find("    Start at Login\n"), std::string::npos);
    EXPECT_NE(readTextFile(transcript).find("Operation not permitted."), std::string::npos);

    EXPECT_EQ(mac.macsim({"menubar", "click", "Quit Ferrolatch"}).status, 0);
    std::string error;
    EXPECT_EQ(agent.wait(error), 0) << error;
}

}
}
