#include "app/frame.h"
#include "disk/tool_runner.h"
#include "platform/platform.h"
#include "platform/macsim/macsim_workspace.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/posix_tool_runner.h"
#include "platform/posix/syslog_log.h"

#include <cstdlib>
#include <memory>
#include <pwd.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ferrolatch;

namespace {

std::string currentDirectory()
{
    std::vector<char> buffer(4096);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return "/";
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

}

// Chooses the adapters once; everything below receives them.
int main(int argc, char** argv)
{
    std::vector<std::string> words(argv, argv + argc);

    const char* sysroot = std::getenv("FERROLATCH_SYSROOT");
    PosixToolRunner tools(sysroot ? sysroot : "",
                          {tools::diskutil, tools::hdiutil, tools::sync, tools::ditto, tools::open, tools::pgrep,
                           tools::killall});
    PosixFiles files;
    SyslogLog syslogLog("ferrolatch-proof");
    std::unique_ptr<SysrootLog> sysrootLog;
    if (sysroot && *sysroot)
        sysrootLog = std::make_unique<SysrootLog>(sysroot, "ferrolatch-proof", syslogLog);
    Log& log = sysrootLog ? static_cast<Log&>(*sysrootLog) : syslogLog;
    PosixPaths paths(PosixPaths::bundleOfExecutable(executablePath()), sysroot ? sysroot : "", homeDirectory(sysroot));
    MacsimWorkspace workspace;
    Platform platform {tools, std::cout, files, log, paths, workspace};

    int status = runCommandLine(words, currentDirectory(), platform, std::cerr);
    std::cout.flush();
    return status;
}
