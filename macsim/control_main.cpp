// macsim: creates a virtual Mac and plays the user and the hardware around it
// (plugging disks in and out, changing them, injecting tool failures).
#include "common/virtual_mac_location.h"
#include "macsim/arbitration.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/channel_control.h"
#include "macsim/finder_control.h"
#include "macsim/keychain_control.h"
#include "macsim/login_item_control.h"
#include "macsim/machine.h"
#include "macsim/menubar.h"
#include "macsim/processes.h"
#include "macsim/standin.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace macsim {

namespace {

const char* const usage = "usage:\n"
                          "  macsim init [--no-prompt-suppression]\n"
                          "  macsim disk add --media NAME --size SIZE --bus PROTOCOL [--tree DEVICE_TREE_PATH]\n"
                          "                  [--internal] [--virtual] [--read-only] [--detached]\n"
                          "  macsim disk attach DISK | macsim disk detach DISK\n"
                          "  macsim disk set DISK KEY VALUE\n"
                          "  macsim volume set VOLUME FreeSpace BYTES|auto\n"
                          "  macsim fault add --tool NAME --args-prefix \"WORD ...\" [--nth N] [--exit CODE]\n"
                          "                   [--stderr TEXT] [--set-disk DISK KEY VALUE] [--corrupt-copy]\n"
                          "  macsim fault clear\n"
                          "  macsim audit\n"
                          "  macsim state\n"
                          "  macsim agent start | macsim agent stop\n"
                          "  macsim finder start APP_BUNDLE | macsim finder stop\n"
                          "  macsim finder watched | macsim finder enable | macsim finder disable\n"
                          "  macsim keychain list\n"
                          "  macsim keychain fault add|update|copy|delete STATUS | macsim keychain fault clear\n"
                          "  macsim menubar [click TITLE]\n"
                          "  macsim notify NAME\n"
                          "  macsim hold PATH\n"

                          "  macsim loginitem | macsim loginitem set notRegistered|enabled|requiresApproval|notFound|VALUE\n"
                          "  macsim loginitem fault register|unregister DOMAIN CODE DESCRIPTION | macsim loginitem fault clear\n"
                          "  macsim channel ask SERVICE REQUEST\n";

// FERROLATCH_SYSROOT, else the user's default virtual Mac, the one the
// product uses without the variable.
Sysroot requireSysroot()
{
    if (auto sysroot = sysrootFromEnvironment())
        return *sysroot;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = ::getpwuid(::getuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    std::string fallback = ferrolatch::virtual_mac::defaultSysroot(std::getenv("XDG_DATA_HOME"), home);
    if (fallback.empty())
        throw ToolError("macsim: FERROLATCH_SYSROOT is not set and there is no home directory for the default");
    return Sysroot {fallback};
}

std::string loginName()
{
    if (passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_name && *entry->pw_name)
        return entry->pw_name;
    if (const char* user = std::getenv("USER"); user && *user)
        return user;
    return "user";
}

std::string ownDirectory()
{
    std::string executable = canonicalPath("/proc/self/exe");
    return executable.substr(0, executable.find_last_of('/'));
}

void installFile(const std::string& source, const std::string& destination)
{
    if (!pathExists(source))
        throw ToolError("macsim: the stand-in " + source + " has not been built");
    ::unlink(destination.c_str());
    if (::link(source.c_str(), destination.c_str()) != 0)
        copyTree(source, destination); // another file system: a copy does as well
}

void init(const std::vector<std::string>& arguments)
{
    bool promptSuppression = true;
    for (const std::string& argument : arguments) {
        if (argument == "--no-prompt-suppression")
            promptSuppression = false;
        else
            usageError();
    }
    Sysroot sysroot = requireSysroot();
    makeDirectories(sysroot.root);
    sysroot.root = canonicalPath(sysroot.root);
    makeDirectories(sysroot.root + "/private/var/db/macsim/volumes", 0700);
    StateLock lock(sysroot);
    if (pathExists(sysroot.stateFile()))
        return; // already a virtual Mac: nothing changes

    std::string login = loginName();
    for (const char* library : {"Application Support", "Preferences", "Group Containers", "Keychains", "LaunchAgents"})
        makeDirectories(sysroot.root + "/Users/" + login + "/Library/" + library);
    for (const char* directory : {"/Volumes", "/System/Library/CoreServices", "/usr/sbin", "/usr/bin", "/bin",
             "/private/var/run", "/private/var/log/macsim"})
        makeDirectories(sysroot.root + directory);
    makeDirectories(sysroot.root + "/private/var/run/macsim/keys", 0700);

    std::string standIns = ownDirectory() + "/stand-ins";
    for (const char* macPath : {"/usr/sbin/diskutil", "/usr/bin/hdiutil", "/usr/bin/open", "/usr/bin/ditto",
             "/usr/bin/pgrep", "/usr/bin/killall", "/bin/sync"})
        installFile(standIns + "/macsim-standin", sysroot.path(macPath));

    // The agent's capability shows in its executable's bytes, as on a Mac; an
    // older macOS lacks the string that means per-volume suppression works.
    std::string agent = readFile(standIns + "/APFSUserAgent");
    agent += std::string("\0DontUnlockVolume\0", 18);
    if (promptSuppression)
        agent += std::string("No prompt required\0", 19);
    writeFileAtomically(sysroot.agentExecutable(), agent, 0755);

    State state;
    state.login = login;
    addInternalDisk(state);
    saveState(sysroot, state);
}

struct Locked {
    explicit Locked(const Sysroot& root) : sysroot(root), lock(root), state(loadState(root)), machine(root, state) {}
    void save()
    {
        saveState(sysroot, state);
        publishVolumeChanges(sysroot);
    }
    Sysroot sysroot;
    StateLock lock;
    State state;
    Machine machine;
};

Disk& namedDisk(Machine& machine, const std::string& text)
{
    DiskName name;
    Disk* disk = parseDiskName(text, name) && !name.slice ? machine.disk(name.disk) : nullptr;
    if (!disk)
        throw ToolError("macsim: no such disk: " + text);
    return *disk;
}

// Where a Mac's device tree places a USB disk: the port it is plugged into on
// one of the USB controllers, not the disk itself. Each disk gets a port of its own.
std::string usbPortPath(int number)
{
    unsigned controller = static_cast<unsigned>(number) % 2;
    char path[160];
    std::snprintf(path, sizeof path, "IODeviceTree:/arm-io@10F00000/usb-drd%u@%X/usb-drd%u-port-hs@%08X", controller,
        0x2280000u + controller * 0x4000000u, controller, 0x00100000u + static_cast<unsigned>(number));
    return path;
}

void diskAdd(const std::vector<std::string>& arguments)
{
    Disk disk;
    bool haveMedia = false;
    bool haveSize = false;
    bool haveBus = false;
    bool haveTree = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        auto value = [&]() -> const std::string& {
            if (index + 1 >= arguments.size())
                usageError();
            return arguments[++index];
        };
        if (word == "--media") {
            disk.media = value();
            haveMedia = true;
        } else if (word == "--size") {
            disk.size = parseSize(value());
            haveSize = true;
        } else if (word == "--bus") {
            disk.bus = value();
            haveBus = true;
        } else if (word == "--tree") {
            disk.tree = value();
            haveTree = true;
        } else if (word == "--internal") {
            disk.internal = true;
        } else if (word == "--virtual") {
            disk.isVirtual = true;
        } else if (word == "--read-only") {
            disk.readOnly = true;
        } else if (word == "--detached") {
            disk.attached = false;
        } else {
            usageError();
        }
    }
    if (!haveMedia || !haveSize || !haveBus)
        usageError();
    Locked locked(requireSysroot());
    disk.number = locked.machine.freeNumber();
    if (!haveTree)
        disk.tree = usbPortPath(disk.number);
    locked.state.disks.push_back(disk);
    locked.save();
    std::cout << diskName(disk.number) << "\n";
}

void diskCommand(const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        usageError();
    const std::string& verb = arguments[0];
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    if (verb == "add")
        return diskAdd(rest);
    if ((verb == "attach" || verb == "detach") && rest.size() == 1) {
        Locked locked(requireSysroot());
        Disk& disk = namedDisk(locked.machine, rest[0]);
        if (!disk.image.empty())
            throw ToolError("macsim: " + rest[0] + " is a disk image; use hdiutil");
        if (disk.internal && verb == "detach" && disk.number == 0)
            throw ToolError("macsim: the internal disk cannot be detached");
        if (verb == "attach") {
            if (disk.attached)
                throw ToolError("macsim: " + rest[0] + " is already attached");
            locked.machine.attach(disk);
        } else {
            if (!disk.attached)
                throw ToolError("macsim: " + rest[0] + " is not attached");
            locked.machine.detach(disk);
        }
        locked.save();
        return;
    }
    if (verb == "set" && rest.size() == 3) {
        Locked locked(requireSysroot());
        setDiskProperty(namedDisk(locked.machine, rest[0]), rest[1], rest[2]);
        locked.save();
        return;
    }
    usageError();
}

// A mounted volume's free space, fixed for a test ("auto": from its contents again).
void volumeCommand(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 4 || arguments[0] != "set" || arguments[2] != "FreeSpace")
        usageError();
    Locked locked(requireSysroot());
    // By device, mount path or UUID; a locked volume keeps the figure for its next mount.
    Volume* volume = nullptr;
    if (std::optional<Target> target = locked.machine.find(arguments[1]); target && target->kind == Target::Kind::Volume)
        volume = target->volume;
    for (Container& container : locked.state.containers)
        for (Volume& candidate : container.volumes)
            if (!volume && candidate.uuid == arguments[1])
                volume = &candidate;
    if (!volume)
        throw ToolError("macsim: no such volume: " + arguments[1]);
    if (arguments[3] == "auto")
        volume->freeSpace.reset();
    else
        volume->freeSpace = parseSize(arguments[3]);
    locked.save();
}

int parseNumber(const std::string& text, long largest)
{
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || number < 0 || number > largest)
        throw ToolError("macsim: not a number from 0 to " + std::to_string(largest) + ": " + text);
    return static_cast<int>(number);
}

void faultCommand(const std::vector<std::string>& arguments)
{
    if (arguments.size() == 1 && arguments[0] == "clear") {
        Locked locked(requireSysroot());
        locked.state.faults.clear();
        locked.save();
        return;
    }
    if (arguments.empty() || arguments[0] != "add")
        usageError();
    Fault fault;
    bool haveTool = false;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        auto value = [&]() -> const std::string& {
            if (index + 1 >= arguments.size())
                usageError();
            return arguments[++index];
        };
        if (word == "--tool") {
            fault.tool = value();
            haveTool = true;
        } else if (word == "--args-prefix") {
            fault.prefix = splitWords(value());
        } else if (word == "--nth") {
            fault.nth = parseNumber(value(), 1000000);
        } else if (word == "--exit") {
            // A wider status would wrap, and 256 would pass for success.
            fault.exitStatus = parseNumber(value(), 255);
        } else if (word == "--stderr") {
            fault.standardError = value();
        } else if (word == "--set-disk") {
            std::array<std::string, 3> change;
            for (std::string& part : change)
                part = value();
            Disk probe;
            setDiskProperty(probe, change[1], change[2]); // refuses an unknown key now, not at the call
            fault.setDisk = change;
        } else if (word == "--corrupt-copy") {
            fault.corruptCopy = true;
        } else {
            usageError();
        }
    }
    static const std::vector<std::string> tools {"diskutil", "hdiutil", "open", "ditto", "sync", "pgrep", "killall"};
    if (!haveTool || std::find(tools.begin(), tools.end(), fault.tool) == tools.end())
        throw ToolError("macsim: --tool must name one of diskutil, hdiutil, open, ditto, sync, pgrep, killall");
    if (fault.nth < 1)
        throw ToolError("macsim: --nth counts from 1");
    if (fault.corruptCopy && fault.tool != "ditto")
        throw ToolError("macsim: --corrupt-copy applies to ditto only");
    Locked locked(requireSysroot());
    locked.state.faults.push_back(fault);
    locked.save();
}

void printAudit()
{
    Sysroot sysroot = requireSysroot();
    StateLock lock(sysroot);
    if (pathExists(sysroot.auditLog()))
        std::cout << readFile(sysroot.auditLog());
}

void printState()
{
    Locked locked(requireSysroot());
    Machine& machine = locked.machine;
    nlohmann::json disks = nlohmann::json::array();
    nlohmann::json partitions = nlohmann::json::array();
    nlohmann::json containers = nlohmann::json::array();
    nlohmann::json volumes = nlohmann::json::array();
    nlohmann::json images = nlohmann::json::array();
    for (const Disk& disk : locked.state.disks) {
        disks.push_back({{"identifier", diskName(disk.number)}, {"mediaName", disk.media}, {"totalSize", disk.size},
            {"busProtocol", disk.bus}, {"deviceTreePath", disk.tree}, {"internal", disk.internal},
            {"virtual", disk.isVirtual || !disk.image.empty()}, {"readOnly", disk.readOnly}, {"attached", disk.attached},
            {"content", disk.scheme}});
        for (const Partition& partition : disk.partitions)
            partitions.push_back({{"identifier", diskName(disk.number, partition.slice)},
                {"disk", diskName(disk.number)}, {"content", partition.content}, {"size", partition.size},
                {"uuid", partition.uuid}});
        if (!disk.image.empty())
            images.push_back({{"path", disk.image}, {"device", diskName(disk.number)}, {"attached", disk.attached}});
    }
    for (const Container& container : locked.state.containers) {
        bool attached = machine.visible(container);
        containers.push_back({{"reference", diskName(container.number)}, {"uuid", container.uuid},
            {"physicalStore", container.store}, {"attached", attached}});
        for (const Volume& volume : container.volumes)
            volumes.push_back({{"device", Machine::device(container, volume)}, {"container", diskName(container.number)},
                {"uuid", volume.uuid}, {"name", volume.name}, {"encrypted", volume.encrypted},
                {"locked", volume.locked}, {"mounted", volume.mounted}, {"mountPoint", volume.mountPoint},
                {"browsable", volume.browsable}, {"attached", attached},
                {"internal", volume.system || (machine.storeDisk(container) && machine.storeDisk(container)->internal)},
                {"claimed", attached && isClaimed(locked.sysroot, Machine::device(container, volume))}});
    }
    // The APFS agent's password prompts, in the order it showed them.
    nlohmann::json prompts = shownPasswordPrompts(locked.sysroot);
    nlohmann::json state = {{"disks", disks}, {"partitions", partitions}, {"containers", containers},
        {"volumes", volumes}, {"images", images}, {"passwordPrompts", prompts}};
    state["finderExtension"] = finderExtensionState(locked.sysroot.root);
    std::cout << state.dump(2) << "\n";
}

void agentCommand(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 1)
        usageError();
    Sysroot sysroot = requireSysroot();
    sysroot.root = canonicalPath(sysroot.root);
    if (arguments[0] == "start") {
        // Started the way launchd starts it: its own session, no terminal.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        std::string program = sysroot.agentExecutable();
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t pid = 0;
        int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (failure != 0)
            throw ToolError("macsim: " + errnoText(program, failure));
        std::cout << pid << "\n";
        return;
    }
    if (arguments[0] == "stop") {
        auto running = [&] {
            std::vector<int> pids;
            for (const ProcessInfo& process : processesInside(sysroot.root)) {
                if (process.name == "APFSUserAgent")
                    pids.push_back(process.pid);
            }
            return pids;
        };
        for (int pid : running())
            ::kill(pid, SIGTERM);
        for (int attempt = 0; attempt < 200 && !running().empty(); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return;
    }
    usageError();
}

void keychainControl(const std::vector<std::string>& arguments)
{
    Sysroot sysroot = requireSysroot();
    sysroot.root = canonicalPath(sysroot.root);
    std::string login;
    {
        StateLock lock(sysroot);
        login = loadState(sysroot).login;
    }
    keychainCommand(sysroot.root, login, arguments);
}

// The canonical root of a sysroot that is a virtual Mac, for the services
// that keep their own records in it.
std::string virtualMacRoot()
{
    Sysroot sysroot = requireSysroot();
    std::string canonical = canonicalPath(sysroot.root);
    // A folder that is not there has no canonical path: the refusal names it as given.
    if (!canonical.empty())
        sysroot.root = canonical;
    StateLock lock(sysroot);
    loadState(sysroot); // refuses a sysroot that is no virtual Mac
    return sysroot.root;
}

// Plays an application with a document open: the file (or folder) stays open
// until the process is killed or its standard input reaches its end, so that
// unmounting its volume is refused meanwhile.
void hold(const std::string& path)
{
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        throw ToolError("macsim: cannot open " + path + ": " + std::strerror(errno));
    std::cout << "holding " << path << std::endl;
    char buffer[256];
    for (;;) {
        ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count == 0 || (count < 0 && errno != EINTR))
            break;
    }
    ::close(descriptor);
}

int run(const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        usageError();
    const std::string& command = arguments[0];
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    if (command == "init")
        init(rest);
    else if (command == "disk")
        diskCommand(rest);
    else if (command == "fault")
        faultCommand(rest);
    else if (command == "volume")
        volumeCommand(rest);
    else if (command == "audit" && rest.empty())
        printAudit();
    else if (command == "state" && rest.empty())
        printState();
    else if (command == "agent")
        agentCommand(rest);
    else if (command == "keychain")
        keychainControl(rest);
    else if (command == "menubar")
        menuBarCommand(requireSysroot().root, rest, std::cout);
    else if (command == "notify" && rest.size() == 1 && !rest[0].empty())
        postDistributedNotification(requireSysroot(), rest[0]);
    else if (command == "finder" && !rest.empty())
        finderCommand(virtualMacRoot(), rest);
    else if (command == "loginitem")
        loginItemCommand(virtualMacRoot(), rest);
    else if (command == "channel" && !rest.empty())
        channelCommand(virtualMacRoot(), rest);
    else if (command == "hold" && rest.size() == 1 && !rest[0].empty())
        hold(rest[0]);
    else if (command == "help" && rest.empty())
        std::cout << usage;
    else
        usageError();
    return 0;
}

}

}

int main(int argc, char** argv)
{
    try {
        return macsim::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const macsim::ToolError& error) {
        std::cout.flush();
        std::string message = error.what();
        if (message.rfind("macsim: ", 0) != 0)
            message = "macsim: " + message;
        std::cerr << message << "\n";
        return error.status();
    } catch (const std::exception& error) {
        std::cerr << "macsim: " << error.what() << "\n";
        return 1;
    }
}
