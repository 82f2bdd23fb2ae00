// The menu-bar agent as a real process on a virtual Mac: `ferrolatch-proof`
// without arguments shows its status item until "Quit Ferrolatch".
#include "tests/e2e/e2e_harness.h"
#include "tests/e2e/live_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>
#include <thread>

namespace ferrolatch::e2e {
namespace {

bool exited(const LiveProcess& process)
{
    siginfo_t info {};
    return ::waitid(P_PID, static_cast<id_t>(process.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0
        && info.si_pid == process.pid();
}

TEST(Agent, ShowsItsMenuAndQuitsFromIt)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "FERROLATCH_UI_SCRIPT"})
        unsetenv(name);
    VirtualMac mac;
    auto environment = mac.environment();
    environment["FERROLATCH_UI_SCRIPT"] = "[]";
    LiveProcess agent(ferrolatchExecutable(), {}, environment);

    std::string shown;
    for (int attempt = 0; attempt < 500 && shown.find("Quit Ferrolatch") == std::string::npos; ++attempt) {
        if (exited(agent)) {
            std::string error;
            int status = agent.wait(error);
            FAIL() << "the agent ended with " << status << ": " << error;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        shown = mac.macsim({"menubar"}).out;
    }
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

}
}
