#include "macsim/finder_control.h"

#include "common/errors.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "platform/macsim/finder_sync_store.h"

#include <plist/plist.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace macsim {

namespace {

using namespace ferrolatch;

constexpr const char* extensionPoint = "com.apple.FinderSync";
constexpr const char* pluginPath = "Contents/PlugIns/FerrolatchFinder.appex";
constexpr auto loadTimeout = std::chrono::seconds(20);
constexpr auto endTimeout = std::chrono::seconds(10);

std::optional<std::string> stringIn(plist_t dictionary, const char* key)
{
    plist_t node = dictionary ? plist_dict_get_item(dictionary, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value ? value : "";
    std::free(value);
    return text;
}

// The extension's executable, as Finder finds it: the bundle description must
// declare the Finder Sync extension point and name its executable.
std::string extensionExecutable(const std::string& given)
{
    std::string bundle = given;
    while (bundle.size() > 1 && bundle.back() == '/')
        bundle.pop_back();
    if (!bundle.ends_with(".appex"))
        bundle += "/" + std::string(pluginPath);
    bundle = canonicalPath(bundle);
    std::string description = bundle + "/Contents/Info.plist";
    if (bundle.empty() || !pathExists(description))
        throw ToolError("macsim: no Finder extension in " + given);
    std::string text = readFile(description);
    plist_t root = nullptr;
    plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &root);
    std::unique_ptr<void, void (*)(plist_t)> owned(root, plist_free);
    plist_t extension = root ? plist_dict_get_item(root, "NSExtension") : nullptr;
    std::optional<std::string> point = stringIn(extension, "NSExtensionPointIdentifier");
    std::optional<std::string> executable = stringIn(root, "CFBundleExecutable");
    if (!point || *point != extensionPoint || !stringIn(extension, "NSExtensionPrincipalClass") || !executable
        || executable->empty() || executable->find('/') != std::string::npos)
        throw ToolError("macsim: " + bundle + " is not a Finder Sync extension");
    std::string program = bundle + "/Contents/MacOS/" + *executable;
    if (::access(program.c_str(), X_OK) != 0)
        throw ToolError("macsim: " + errnoText(program, errno));
    return program;
}

// Whether pid is a running extension process (one that ended but is not yet
// collected by its new parent counts as gone).
bool extensionRunning(int pid)
{
    std::string proc = "/proc/" + std::to_string(pid);
    std::string executable = canonicalPath(proc + "/exe");
    if (executable.empty() || !executable.ends_with("/Contents/MacOS/FerrolatchFinder"))
        return false;
    std::ifstream stat(proc + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// The process the extension's record names, while it is still the extension.
std::optional<int> loadedExtension(const std::string& sysroot)
{
    std::ifstream file(finderExtensionPidFile(sysroot));
    int pid = 0;
    if (!(file >> pid) || pid <= 0 || !extensionRunning(pid))
        return std::nullopt;
    return pid;
}

void start(const std::string& sysroot, const std::string& bundle)
{
    std::string program = extensionExecutable(bundle);
    if (std::optional<int> running = loadedExtension(sysroot))
        throw ToolError("macsim: the Finder extension is already loaded (pid " + std::to_string(*running) + ")");
    ::unlink(finderExtensionPidFile(sysroot).c_str());
    makeDirectories(sysroot + "/private/var/run/macsim");
    makeDirectories(sysroot + "/private/var/log/macsim");

    // Started as Finder's extension host starts it: its own session, no
    // terminal, its complaints in a log of this Mac.
    std::string log = sysroot + "/private/var/log/macsim/finder-extension.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<std::string> variables {"FERROLATCH_SYSROOT=" + sysroot};
    for (char** entry = environ; *entry; ++entry)
        if (!startsWith(*entry, "FERROLATCH_SYSROOT="))
            variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failure != 0)
        throw ToolError("macsim: " + errnoText(program, failure));

    // Loaded once the extension checked in, which it does after its first refresh.
    auto deadline = std::chrono::steady_clock::now() + loadTimeout;
    while (loadedExtension(sysroot) != pid) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            throw ToolError("macsim: the Finder extension ended while loading (see " + log + ")");
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            throw ToolError("macsim: the Finder extension did not load within 20 seconds");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::cout << pid << "\n";
}

// Finder forgets an unloaded extension's folders.
void forgetWatchedFolders(const std::string& sysroot)
{
    FinderSyncFile file(sysroot);
    file.state().directoryURLs.reset();
    file.save();
}

void stop(const std::string& sysroot)
{
    if (std::optional<int> pid = loadedExtension(sysroot)) {
        ::kill(*pid, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + endTimeout;
        while (extensionRunning(*pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (extensionRunning(*pid)) {
            ::kill(*pid, SIGKILL);
            while (extensionRunning(*pid))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ::unlink(finderExtensionPidFile(sysroot).c_str());
    forgetWatchedFolders(sysroot);
}

}

void finderCommand(const std::string& sysroot, const std::vector<std::string>& arguments)
{
    try {
        if (arguments.size() == 2 && arguments[0] == "start")
            return start(sysroot, arguments[1]);
        if (arguments.size() != 1)
            usageError();
        const std::string& verb = arguments[0];
        if (verb == "stop")
            return stop(sysroot);
        if (verb == "watched") {
            FinderSyncFile file(sysroot);
            for (const std::string& url : file.state().directoryURLs.value_or(std::set<std::string> {}))
                std::cout << url << "\n";
            return;
        }
        if (verb == "enable" || verb == "disable") {
            FinderSyncFile file(sysroot);
            file.state().extensionEnabled = verb == "enable";
            return file.save();
        }
    } catch (const PlatformError& failure) {
        throw ToolError(std::string("macsim: Finder's record of the extension cannot be used: ") + failure.what());
    }
    usageError();
}

nlohmann::json finderExtensionState(const std::string& sysroot)
{
    FinderSyncFile file(sysroot);
    const FinderSyncState& state = file.state();
    std::optional<int> loaded = loadedExtension(sysroot);
    nlohmann::json shown = {{"enabled", state.extensionEnabled}, {"settingsShown", state.settingsShown},
                            {"loaded", loaded ? nlohmann::json(*loaded) : nlohmann::json(nullptr)}};
    shown["watched"] = state.directoryURLs
        ? nlohmann::json(std::vector<std::string>(state.directoryURLs->begin(), state.directoryURLs->end()))
        : nlohmann::json(nullptr);
    return shown;
}

}
