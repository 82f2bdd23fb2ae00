// The virtual Mac's menu bar: a process's status item as `macsim menubar`
// shows it, and clicks that open the menu and run the chosen row's action in
// that process.
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/macsim_status_item.h"
#include "tests/e2e/e2e_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <thread>

namespace ferrolatch::e2e {
namespace {

class CountingDelegate final : public MenuDelegate {
public:
    void menuWillOpen() override { ++opened; }
    int opened = 0;
};

struct MenuBarBench {
    VirtualMac mac;
    SystemClock clock;
    HeadlessMainLoop loop {clock};
    MacsimStatusItem item {mac.sysroot(), "ferrolatch-proof", loop};
    CountingDelegate delegate;
    std::vector<std::string> ran;

    MenuRow row(std::string title, bool enabled = true, std::string key = {}, bool checked = false)
    {
        MenuRow made;
        made.title = title;
        made.enabled = enabled;
        made.keyEquivalent = std::move(key);
        made.checked = checked;
        made.action = [this, title] {
            ran.push_back(title + " after " + std::to_string(delegate.opened) + " opening");
            if (title == "Quit Ferrolatch")
                loop.stop();
        };
        return made;
    }

    void show()
    {
        item.setButton({"", StatusImage {"FerrolatchStatusIcon", "/x.svg"}, "Ferrolatch \u2014 no mounted disk"});
        MenuRow status = row("Waiting for a Ferrolatch disk", false);
        status.action = nullptr;
        item.setMenu(Menu {{status, MenuRow::separator(), row("Scan for Ferrolatch Drives", true, "r"),
                            row("Start at Login", true, {}, true), row("Quit Ferrolatch", true, "q")}},
                     &delegate);
    }

    // Runs the click in another process while this one's main loop runs;
    // a ticker lets the loop look at the click now and then.
    RunResult clickWhileRunning(const std::string& title)
    {
        auto click = std::async(std::launch::async, [&] { return mac.macsim({"menubar", "click", title}); });
        tick();
        loop.runUntil([&] { return click.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
        ticker->cancel();
        return click.get();
    }

    void tick()
    {
        ticker = loop.postAfter(0.02, [this] { tick(); });
    }
    std::shared_ptr<DelayedTask> ticker;
};

TEST(MenuBar, ShowsTheItemOfARunningProcess)
{
    MenuBarBench bench;
    bench.show();
    RunResult shown = bench.mac.macsim({"menubar"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "ferrolatch-proof (pid " + std::to_string(::getpid())
                             + ")\n"
                               "  icon: FerrolatchStatusIcon\n"
                               "  tooltip: Ferrolatch \u2014 no mounted disk\n"
                               "    Waiting for a Ferrolatch disk  (disabled)\n"
                               "  ----\n"
                               "    Scan for Ferrolatch Drives  \u2318r\n"
                               "  \u2713 Start at Login\n"
                               "    Quit Ferrolatch  \u2318q\n");

    bench.item.setButton({"\u25C9", std::nullopt, "Ferrolatch \u2014 no mounted disk"});
    EXPECT_NE(bench.mac.macsim({"menubar"}).out.find("  title: \u25C9\n"), std::string::npos);
}

TEST(MenuBar, AClickOpensTheMenuThenRunsTheRow)
{
    MenuBarBench bench;
    bench.show();
    RunResult scan = bench.clickWhileRunning("Scan for Ferrolatch Drives");
    EXPECT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(scan.out, "chose Scan for Ferrolatch Drives\n");
    EXPECT_EQ(bench.ran, (std::vector<std::string> {"Scan for Ferrolatch Drives after 1 opening"}));

    // Quit stops the loop from inside the action; the click still gets its answer.
    auto quit = std::async(std::launch::async, [&] { return bench.mac.macsim({"menubar", "click", "Quit Ferrolatch"}); });
    bench.loop.run();
    RunResult quitted = quit.get();
    EXPECT_EQ(quitted.status, 0) << quitted.err;
    EXPECT_EQ(bench.ran.back(), "Quit Ferrolatch after 2 opening");
}

TEST(MenuBar, RefusesDisabledAndMissingRows)
{
    MenuBarBench bench;
    bench.show();
    RunResult disabled = bench.clickWhileRunning("Waiting for a Ferrolatch disk");
    EXPECT_EQ(disabled.status, 1);
    EXPECT_EQ(disabled.err, "macsim: the row \"Waiting for a Ferrolatch disk\" is disabled\n");
    RunResult missing = bench.mac.macsim({"menubar", "click", "Eject Vault"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "macsim: no status item has a row \"Eject Vault\"\n");
    EXPECT_TRUE(bench.ran.empty());
}

// What any process of the Mac may send to the socket, answered without harm.
std::string sendRaw(const std::string& socketPath, const std::string& request)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, socketPath.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return "cannot connect";
    if (::write(fd, request.data(), request.size()) < 0)
        return "cannot write";
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[256];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return reply;
}

TEST(MenuBar, AMalformedClickChoosesNothing)
{
    MenuBarBench bench;
    bench.show();
    std::string socketPath = bench.mac.sysroot() + "/private/var/run/macsim/menubar/" + std::to_string(::getpid()) + ".sock";
    for (const std::string& request : {std::string("not json\n"), std::string("{\"click\": 3}\n"), std::string(""),
                                      std::string(10000, '[')}) {
        SCOPED_TRACE(request.substr(0, 20));
        auto reply = std::async(std::launch::async, [&] { return sendRaw(socketPath, request); });
        bench.tick();
        bench.loop.runUntil([&] { return reply.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
        bench.ticker->cancel();
        EXPECT_EQ(reply.get(), "{\"error\":\"the request names no row\"}\n");
    }
    EXPECT_TRUE(bench.ran.empty());
    EXPECT_EQ(bench.delegate.opened, 0);
}

TEST(MenuBar, AnItemLeavesTheMenuBarWithItsProcess)
{
    VirtualMac mac;
    SystemClock clock;
    HeadlessMainLoop loop {clock};
    std::string directory = mac.sysroot() + "/private/var/run/macsim/menubar";
    {
        MacsimStatusItem item {mac.sysroot(), "ferrolatch-proof", loop};
        item.setButton({"\u25C9", std::nullopt, ""});
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
            ++files;
        EXPECT_EQ(files, 2u); // the state and the click socket
    }
    EXPECT_TRUE(std::filesystem::is_empty(directory));
    EXPECT_EQ(mac.macsim({"menubar"}).out, "");
}

}
}
