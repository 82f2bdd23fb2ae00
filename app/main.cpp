#include "app/command_line.h"
#include "app/frame.h"
#include "common/virtual_mac_location.h"
#include "disk/system_tools.h"
#include "platform/macsim/virtual_mac_adapters.h"
#include "platform/posix/linux_calls.h"
#include "platform/posix/standard_streams.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <pwd.h>
#include <string>
#include <thread>
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

const char* setting(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The Linux build runs against a virtual Mac only: the one FERROLATCH_SYSROOT
// names, else the user's default one.
VirtualMacSettings virtualMacSettings(const std::string& workingDirectory)
{
    const passwd* user = getpwuid(getuid());
    VirtualMacSettings settings;
    if (const char* sysroot = setting("FERROLATCH_SYSROOT")) {
        settings.sysroot = sysroot;
    } else {
        const char* home = setting("HOME");
        settings.sysroot = virtual_mac::defaultSysroot(setting("XDG_DATA_HOME"), home ? home : user ? user->pw_dir : nullptr);
    }
    settings.workingDirectory = workingDirectory;
    settings.executablePath = linux_calls::executablePath();
    const char* login = user ? user->pw_name : std::getenv("USER");
    settings.loginName = login ? login : "";
    settings.systemTools = {tools::diskutil, tools::hdiutil, tools::sync, tools::ditto, tools::open, tools::pgrep,
                            tools::killall};
    if (const char* script = setting("FERROLATCH_UI_SCRIPT"))
        settings.uiScript = script;
    const char* transcript = std::getenv("FERROLATCH_UI_TRANSCRIPT");
    settings.uiTranscript = transcript ? transcript : "";
    settings.display = setting("DISPLAY") || setting("WAYLAND_DISPLAY") || setting("QT_QPA_PLATFORM");
    return settings;
}

}

// Reads the command line, then chooses the adapters once; everything below
// receives them. A wrong command line builds nothing and looks up no one.
int main(int argc, char** argv)
{
    reserveStandardDescriptors();
    std::vector<std::string> words(argv, argv + argc);
    std::string workingDirectory = currentDirectory();
    Invocation invocation = parseCommandLine(words, workingDirectory);
    if (invocation.kind == Invocation::Kind::Usage)
        return finishStandardOutput(reportUsage(std::cerr), std::cerr);
    std::unique_ptr<AdapterSet> adapters = virtualMacAdapters(virtualMacSettings(workingDirectory), std::cout);

    ApplicationContext context = mainThreadApplicationContext(std::this_thread::get_id(), {},
                                                              adapters->userInterfaceUnavailable());
    if (AdapterSet::Context desktop = adapters->desktopContext())
        context = [inner = context, desktop](const std::function<void()>& handler) { desktop([&] { inner(handler); }); };
    int status = runInvocation(invocation, adapters->platform(), std::cerr, context, adapters->servicesUnavailable());
    return finishStandardOutput(status, std::cerr);
}
