// FerrolatchFinder: the Finder extension's process. Finder starts it from the
// application bundle's PlugIns folder; here the entry point plays the system's
// extension main: it builds the virtual Mac's adapters, creates the
// extension's object, runs the main loop until Finder ends the process with
// SIGTERM, then tears the object down. Nothing of the agent is linked in.
#include "common/on_failure.h"
#include "common/virtual_mac_location.h"
#include "finder/finder_sync.h"
#include "platform/headless/headless_main_loop.h"
#include "platform/macsim/entitled_paths.h"
#include "platform/macsim/finder_sync_store.h"
#include "platform/macsim/macsim_mounted_volumes.h"
#include "platform/macsim/macsim_notification_center.h"
#include "platform/macsim/sysroot_log.h"
#include "platform/posix/linux_calls.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_paths.h"
#include "platform/posix/standard_streams.h"
#include "platform/posix/syslog_log.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace ferrolatch;

namespace {

const char* setting(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The Mac this extension's Finder runs on: the one FERROLATCH_SYSROOT names,
// else the user's default one, as for the program.
std::string chosenSysroot()
{
    const passwd* user = getpwuid(getuid());
    if (const char* sysroot = setting("FERROLATCH_SYSROOT")) {
        char* working = ::getcwd(nullptr, 0);
        std::string normalized = virtual_mac::normalizedSysroot(sysroot, working ? working : "");
        std::free(working);
        return normalized;
    }
    const char* home = setting("HOME");
    return virtual_mac::defaultSysroot(setting("XDG_DATA_HOME"), home ? home : user ? user->pw_dir : nullptr);
}

std::string loginName()
{
    const passwd* user = getpwuid(getuid());
    const char* login = user ? user->pw_name : std::getenv("USER");
    return login ? login : "";
}

// The services of the extension's process on a virtual Mac, built in the
// order they depend on each other.
struct ExtensionAdapters {
    explicit ExtensionAdapters(const std::string& sysrootPath)
        : sysroot(sysrootPath), home(sysroot + "/Users/" + loginName()),
          bundlePaths(PosixPaths::bundleOfExecutable(linux_calls::executablePath()), sysroot, home),
          paths(bundlePaths, bundlePaths.mainBundle() + "/Contents/Resources/FerrolatchFinder.entitlements")
    {
    }

    std::string sysroot;
    std::string home;
    PosixFiles files;
    PosixPaths bundlePaths;
    // The extension is sandboxed: the catalog's container is its only if its
    // entitlements name the application group.
    EntitledPaths paths;
    SyslogLog syslog {"FerrolatchFinder"};
    SysrootLog log {sysroot, "FerrolatchFinder", syslog};
    MacsimMountedVolumes mountedVolumes {sysroot};
    SystemClock clock;
    HeadlessMainLoop mainLoop {clock};
    // After the loop it posts to, so it stops listening before the loop goes.
    MacsimNotificationCenter notifications {sysroot, mainLoop};
    MacsimFinderSyncController controller {sysroot};
};

int runExtension(const std::string& sysroot, const sigset_t& endSignals)
{
    ExtensionAdapters adapters(sysroot);
    FerrolatchFinderSync extension({adapters.files, adapters.paths, adapters.log, adapters.mountedVolumes,
                                    adapters.notifications, adapters.notifications, adapters.controller});
    checkInFinderExtension(sysroot, ::getpid());
    std::thread ending([&adapters, endSignals] {
        int received = 0;
        sigwait(&endSignals, &received);
        adapters.mainLoop.stop();
    });
    auto joined = atScopeExit([&ending] { ending.join(); });
    // Left by a failure, the waiting thread is still in sigwait: end it first.
    auto released = onFailure([&ending] { pthread_kill(ending.native_handle(), SIGTERM); });
    adapters.mainLoop.run();
    checkOutFinderExtension(sysroot, ::getpid());
    return 0;
}

}

int main()
{
    reserveStandardDescriptors();
    // Blocked before any thread starts, so that only the waiting thread takes them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    std::string sysroot = chosenSysroot();
    if (sysroot.empty() || ::access(virtual_mac::stateFile(sysroot).c_str(), F_OK) != 0) {
        std::cerr << "FerrolatchFinder: no virtual Mac at " << (sysroot.empty() ? "the default place" : sysroot)
                  << "\n";
        return 1;
    }
    try {
        return runExtension(sysroot, endSignals);
    } catch (const std::exception& failure) {
        std::cerr << "FerrolatchFinder: " << failure.what() << "\n";
        return 1;
    }
}
