#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/plist_out.h"
#include "macsim/processes.h"
#include "macsim/standin.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace macsim {

namespace {

std::string bundleExecutable(const std::string& bundle)
{
    std::string infoPath = bundle + "/Contents/Info.plist";
    if (!pathExists(infoPath))
        return {};
    auto info = parsePlist(readFile(infoPath));
    const std::string* name = info ? asString(child(*info, "CFBundleExecutable")) : nullptr;
    // A name with a slash would leave the bundle.
    return name && name->find('/') == std::string::npos ? *name : std::string();
}

bool isApplicationBundle(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".app") == 0 && isDirectory(path);
}

// Spawns with stdin from /dev/null and stdout and stderr appended to a log,
// so a launched program never holds its caller's pipes open. Standard error
// goes to its own file instead when one is named (open --stderr).
pid_t spawnDetached(const std::string& program, const std::vector<std::string>& arguments, const std::string& log,
    bool searchPath, bool newSession, const std::string& errorFile = {})
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errorFile.empty())
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGMASK;
    if (newSession)
        flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
    posix_spawnattr_setflags(&attributes, flags);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int failure = searchPath ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ)
                             : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failure != 0)
        throw ToolError(errnoText(program, failure));
    return pid;
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

std::string logDirectory(const Sysroot& sysroot)
{
    std::string directory = sysroot.root + "/private/var/log/macsim";
    makeDirectories(directory);
    return directory;
}

}

int runOpen(Invocation& call)
{
    bool wait = false;
    std::string application;
    std::string errorFile;
    std::vector<std::string> targets;
    std::vector<std::string> passed;
    const auto& arguments = call.arguments;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (word == "--args") {
            passed.assign(arguments.begin() + static_cast<long>(index) + 1, arguments.end());
            break;
        }
        if (word == "-n")
            continue;
        if (word == "-W")
            wait = true;
        else if (word == "-a" && index + 1 < arguments.size())
            application = arguments[++index];
        else if (word == "--stderr" && index + 1 < arguments.size() && !arguments[index + 1].empty())
            errorFile = arguments[++index];
        else if (!word.empty() && word[0] == '-')
            throw ToolError("open: invalid option -- " + word.substr(1));
        else
            targets.push_back(word);
    }

    if (!application.empty()) {
        appendLine(call.sysroot.openLog(), nlohmann::json {{"application", application}, {"targets", targets}}.dump());
        const char* browser = std::getenv("FERROLATCH_SIM_BROWSER");
        auto present = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
        if (application == "Safari" && !targets.empty()) {
            // Without a configured stand-in, a person at a Linux desktop gets
            // the default browser, which may have a real authenticator.
            std::string log = logDirectory(call.sysroot) + "/browser.log";
            if (browser && *browser)
                spawnDetached(browser, {targets.front()}, log, true, true);
            else if (present("DISPLAY") || present("WAYLAND_DISPLAY"))
                spawnDetached("xdg-open", {targets.front()}, log, true, true);
        }
        return 0;
    }
    if (targets.size() != 1)
        throw ToolError("Usage: open [-n] [-W] [-a application] [--stderr file] [file | URL] [--args arguments]");
    const std::string& bundle = targets.front();
    if (!pathExists(bundle))
        throw ToolError("The file " + bundle + " does not exist.");
    std::string executable = bundleExecutable(bundle);
    if (executable.empty() && !isApplicationBundle(bundle)) {
        // A document or folder, opened by whatever claims it.
        appendLine(call.sysroot.openLog(), nlohmann::json {{"application", ""}, {"targets", targets}}.dump());
        return 0;
    }
    // An application that cannot start must fail the call: a caller waiting
    // for its exit status would otherwise take "nothing ran" for success.
    std::string program = bundle + "/Contents/MacOS/" + executable;
    if (executable.empty() || ::access(program.c_str(), X_OK) != 0)
        throw ToolError("The application " + bundle + " cannot be opened because its executable is missing.");
    pid_t pid = spawnDetached(program, passed, logDirectory(call.sysroot) + "/applications.log", false, false, errorFile);
    return wait ? waitForExit(pid) : 0;
}

namespace {

// Flips one bit in the last byte of the first non-empty regular file of the
// copy, in name order; false when there is none.
bool damageFirstFile(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return false;
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        char byte = 0;
        bool done = ::pread(fd, &byte, 1, info.st_size - 1) == 1;
        byte ^= 0x01;
        done = done && ::pwrite(fd, &byte, 1, info.st_size - 1) == 1;
        ::close(fd);
        return done;
    }
    if (!S_ISDIR(info.st_mode))
        return false;
    std::vector<std::string> names = directoryEntries(path);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (damageFirstFile(path + "/" + name))
            return true;
    return false;
}

}

void runDitto(Invocation& call)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 2 || arguments[0].empty() || arguments[0][0] == '-')
        throw ToolError("Usage: ditto src dst");
    const std::string& source = arguments[0];
    std::string destination = arguments[1];
    if (!pathExists(source))
        throw ToolError("ditto: " + source + ": No such file or directory");
    if (!isDirectory(source) && isDirectory(destination))
        destination += "/" + source.substr(source.find_last_of('/') + 1);
    try {
        auto slash = destination.find_last_of('/');
        if (slash != std::string::npos && slash > 0)
            makeDirectories(destination.substr(0, slash));
        copyTree(source, destination);
    } catch (const ToolError& error) {
        throw ToolError(std::string("ditto: ") + error.what());
    }
    if (call.corruptCopy)
        damageFirstFile(destination);
}

void runSync(Invocation& call)
{
    int fd = ::open(call.sysroot.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

int runPgrep(Invocation& call)
{
    bool exact = false;
    std::vector<unsigned> users;
    std::string pattern;
    const auto& arguments = call.arguments;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (word == "-x") {
            exact = true;
        } else if (word == "-u" && index + 1 < arguments.size()) {
            std::string list = arguments[++index];
            std::replace(list.begin(), list.end(), ',', ' ');
            for (const std::string& id : splitWords(list))
                users.push_back(static_cast<unsigned>(std::strtoul(id.c_str(), nullptr, 10)));
        } else if (!word.empty() && word[0] == '-') {
            throw ToolError("usage: pgrep [-x] [-u euid] pattern", 2);
        } else if (pattern.empty()) {
            pattern = word;
        } else {
            throw ToolError("usage: pgrep [-x] [-u euid] pattern", 2);
        }
    }
    if (pattern.empty())
        throw ToolError("usage: pgrep [-x] [-u euid] pattern", 2);
    bool found = false;
    for (const ProcessInfo& process : processesInside(call.sysroot.root)) {
        if (process.pid == ::getpid())
            continue;
        bool nameMatches = exact ? process.name == pattern : process.name.find(pattern) != std::string::npos;
        bool userMatches = users.empty() || std::find(users.begin(), users.end(), process.uid) != users.end();
        if (nameMatches && userMatches) {
            std::cout << process.pid << "\n";
            found = true;
        }
    }
    return found ? 0 : 1;
}

int runKillall(Invocation& call)
{
    const auto& arguments = call.arguments;
    int signalNumber = SIGTERM;
    std::string name;
    for (const std::string& word : arguments) {
        if (word == "-9" || word == "-KILL")
            signalNumber = SIGKILL;
        else if (word == "-TERM" || word == "-15")
            signalNumber = SIGTERM;
        else if (!word.empty() && word[0] == '-')
            throw ToolError("usage: killall [-KILL|-TERM] procname", 2);
        else
            name = word;
    }
    if (name.empty())
        throw ToolError("usage: killall [-KILL|-TERM] procname", 2);
    bool found = false;
    for (const ProcessInfo& process : processesInside(call.sysroot.root)) {
        if (process.pid == ::getpid() || process.name != name || (::getuid() != 0 && process.uid != ::getuid()))
            continue;
        if (::kill(process.pid, signalNumber) == 0)
            found = true;
    }
    if (!found)
        throw ToolError("No matching processes belonging to you were found");
    return 0;
}

}
