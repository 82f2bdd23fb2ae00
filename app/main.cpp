#include "app/frame.h"
#include "common/build_config.h"
#include "disk/system_tools.h"
#include "platform/platform.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/headless/scripted_ui.h"
#include "platform/macsim/macsim_files.h"
#include "platform/macsim/macsim_pasteboard.h"
#include "platform/macsim/macsim_preferences.h"
#include "platform/macsim/macsim_windows.h"
#include "platform/macsim/macsim_workspace.h"
#include "platform/macsim/passkey_authenticator.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/posix_tool_runner.h"
#include "platform/posix/syslog_log.h"
#include "platform/qt/qt_application.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <pwd.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ferrolatch;

namespace {

// Empty when it cannot be determined (removed, or not searchable).
std::string currentDirectory()
{
    std::vector<char> buffer(4096);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string executablePath()
{
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string();
}

// The user's home: inside the sysroot on the virtual Mac, the host's otherwise.
std::string homeDirectory(const char* sysroot)
{
    const passwd* user = getpwuid(getuid());
    if (sysroot && *sysroot) {
        const char* login = user ? user->pw_name : std::getenv("USER");
        return std::string(sysroot) + "/Users/" + (login ? login : "");
    }
    const char* home = std::getenv("HOME");
    return home ? home : user ? user->pw_dir : "";
}

bool hasSetting(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// The user interface: answered by an automation script when one is given,
// else the windowing system's. A failure is kept for the UI-marked commands to
// report, so that the others run whatever the setting says.
std::unique_ptr<Ui> chooseUi(std::optional<std::string>& unavailableReason)
{
    if (hasSetting("FERROLATCH_UI_SCRIPT")) {
        try {
            const char* transcript = std::getenv("FERROLATCH_UI_TRANSCRIPT");
            return std::make_unique<ScriptedUi>(parseUiScript(uiScriptText(std::getenv("FERROLATCH_UI_SCRIPT"))),
                                                transcript ? transcript : "");
        } catch (const std::exception& failure) {
            unavailableReason = failure.what();
        }
    } else if (!hasSetting("DISPLAY") && !hasSetting("WAYLAND_DISPLAY") && !hasSetting("QT_QPA_PLATFORM")) {
        unavailableReason = "no display is available for this command's user interface; set FERROLATCH_UI_SCRIPT "
                            "to answer its alerts from a script";
    }
    // With a display and no script the alerts are Qt's (main wires them).
    return std::make_unique<ScriptedUi>(std::vector<ScriptedAnswer> {}, "");
}

}

// Chooses the adapters once; everything below receives them.
int main(int argc, char** argv)
{
    std::vector<std::string> words(argv, argv + argc);

    const char* sysroot = std::getenv("FERROLATCH_SYSROOT");
    PosixToolRunner tools(sysroot ? sysroot : "",
                          {tools::diskutil, tools::hdiutil, tools::sync, tools::ditto, tools::open, tools::pgrep,
                           tools::killall});
    PosixFiles hostFiles;
    MacsimFiles files(hostFiles, sysroot ? sysroot : "");
    SyslogLog syslogLog("ferrolatch-proof");
    std::unique_ptr<SysrootLog> sysrootLog;
    if (sysroot && *sysroot)
        sysrootLog = std::make_unique<SysrootLog>(sysroot, "ferrolatch-proof", syslogLog);
    Log& log = sysrootLog ? static_cast<Log&>(*sysrootLog) : syslogLog;
    PosixPaths paths(PosixPaths::bundleOfExecutable(executablePath()), sysroot ? sysroot : "", homeDirectory(sysroot));
    MacsimWorkspace iconWorkspace;
    MacsimDesktopWorkspace workspace(iconWorkspace, sysroot ? sysroot : "");
    std::unique_ptr<Pasteboard> pasteboard;
    if (sysroot && *sysroot)
        pasteboard = std::make_unique<MacsimPasteboard>(sysroot);
    else
        pasteboard = std::make_unique<unavailable::NoPasteboard>();
    MacsimPreferences preferences(homeDirectory(sysroot) + "/Library/Preferences");
    SystemClock clock;
    HeadlessMainLoop mainLoop(clock);
    std::optional<std::string> uiUnavailable;
    std::unique_ptr<Ui> scriptedUi = chooseUi(uiUnavailable);
    // On a desktop the UI-marked commands show real alerts; Qt starts only
    // when one of them runs, so the other commands never load it.
    QtApplicationContext desktop;
    bool onDesktop = !hasSetting("FERROLATCH_UI_SCRIPT")
        && (hasSetting("DISPLAY") || hasSetting("WAYLAND_DISPLAY") || hasSetting("QT_QPA_PLATFORM"));
    MainLoop& loop = onDesktop ? desktop.mainLoop() : static_cast<MainLoop&>(mainLoop);
    Ui& ui = onDesktop ? desktop.ui() : *scriptedUi;
    SimulatedPasskeyService passkeys(loop, ui,
                                     {homeDirectory(sysroot) + "/Library/Keychains",
                                      paths.mainBundle() + "/Contents/Resources/Ferrolatch.entitlements",
                                      std::string("T4QW8ZR2LM.") + build::bundleIdentifier});
    Platform platform {.tools = tools, .out = std::cout, .files = files, .log = log, .paths = paths,
                       .workspace = workspace, .mainLoop = loop, .ui = ui, .passkeys = passkeys,
                       .preferences = preferences, .realUserID = static_cast<std::uint32_t>(getuid()),
                       .pasteboard = *pasteboard, .input = std::cin};

    ApplicationContext context = mainThreadApplicationContext(std::this_thread::get_id(), {}, uiUnavailable);
    if (onDesktop)
        context = [inner = context, &desktop](const std::function<void()>& handler) { desktop([&] { inner(handler); }); };
    int status = runCommandLine(words, currentDirectory(), platform, std::cerr, context);
    std::cout.flush();
    return status;
}
