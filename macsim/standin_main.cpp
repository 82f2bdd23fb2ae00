#include "macsim/standin.h"

#include "common/utf8.h"
#include "macsim/arbitration.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <iostream>
#include <map>
#include <unistd.h>

namespace macsim {

namespace {

const std::map<std::string, std::string>& macPaths()
{
    static const std::map<std::string, std::string> paths {
        {"diskutil", "/usr/sbin/diskutil"},
        {"hdiutil", "/usr/bin/hdiutil"},
        {"open", "/usr/bin/open"},
        {"ditto", "/usr/bin/ditto"},
        {"pgrep", "/usr/bin/pgrep"},
        {"killall", "/usr/bin/killall"},
        {"sync", "/bin/sync"},
    };
    return paths;
}

std::string baseName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool takesStandardInput(const std::string& tool, const std::vector<std::string>& arguments)
{
    const char* option = tool == "diskutil" ? "-stdinpassphrase" : tool == "hdiutil" ? "-stdinpass" : nullptr;
    if (!option)
        return false;
    for (const std::string& argument : arguments) {
        if (argument == option)
            return true;
    }
    return false;
}

// Up to the first line feed, as the Mac's tools read a passphrase. Anything
// arriving, a bare line feed included, counts as supplied.
SecretBytes readPassphrase(bool& supplied)
{
    SecretBytes buffer(65536);
    std::size_t used = 0;
    while (used < buffer.size()) {
        ssize_t count = ::read(STDIN_FILENO, buffer.data() + used, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        supplied = true;
        if (buffer.data()[used] == '\n')
            break;
        ++used;
    }
    return buffer.prefix(used);
}

struct FaultOutcome {
    bool changed = false;
    bool corruptCopy = false;
    const Fault* failure = nullptr;
};

FaultOutcome applyFaults(Machine& machine, const std::string& tool, const std::vector<std::string>& arguments)
{
    FaultOutcome outcome;
    for (Fault& fault : machine.state().faults) {
        if (fault.fired || fault.tool != tool || fault.prefix.size() > arguments.size()
            || !std::equal(fault.prefix.begin(), fault.prefix.end(), arguments.begin()))
            continue;
        outcome.changed = true;
        if (++fault.seen != fault.nth)
            continue;
        fault.fired = true;
        if (fault.corruptCopy) {
            outcome.corruptCopy = true;
        } else if (fault.setDisk) {
            const auto& [diskText, key, value] = *fault.setDisk;
            DiskName name;
            Disk* disk = parseDiskName(diskText, name) && !name.slice ? machine.disk(name.disk) : nullptr;
            if (disk)
                setDiskProperty(*disk, key, value);
        } else if (!outcome.failure) {
            outcome.failure = &fault;
        }
    }
    return outcome;
}

void audit(const Sysroot& sysroot, const Invocation& call, bool inputSupplied, int status)
{
    nlohmann::json line = {
        {"tool", call.tool}, {"argv", call.arguments}, {"stdin", inputSupplied}, {"status", status}};
    try {
        appendLine(sysroot.auditLog(), line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const ToolError&) {
        // An unwritable log must not change the tool's answer.
    }
}

int runUnlocked(Invocation& call)
{
    if (call.tool == "open")
        return runOpen(call);
    if (call.tool == "ditto")
        runDitto(call);
    else if (call.tool == "sync")
        runSync(call);
    else if (call.tool == "pgrep")
        return runPgrep(call);
    else if (call.tool == "killall")
        return runKillall(call);
    return 0;
}

bool changesMachine(const std::string& tool)
{
    return tool == "diskutil" || tool == "hdiutil";
}

// Runs body; a refusal becomes its one line on stderr and its status.
template <typename Body> int reportingRefusals(const std::string& tool, Body body)
{
    try {
        return body();
    } catch (const ToolError& error) {
        std::cout.flush();
        std::cerr << error.what() << "\n";
        return error.status();
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << tool << ": " << error.what() << "\n";
        return 1;
    }
}

int runMachineTool(Invocation& call, Machine& machine)
{
    // Names and paths end up in the state, which holds UTF-8 only; refusing
    // here keeps a half-made volume from being left behind by a failed save.
    for (const std::string& argument : call.arguments) {
        if (!ferrolatch::isValidUTF8(argument))
            throw ToolError(call.tool + ": an argument is not valid UTF-8");
    }
    if (call.tool == "diskutil")
        runDiskutil(call, machine);
    else
        runHdiutil(call, machine);
    saveState(call.sysroot, machine.state());
    publishVolumeChanges(call.sysroot);
    return 0;
}

// Under the machine's lock: the faults, then a tool that changes the machine,
// audited before the lock is released so that the audit keeps the order of
// the changes. Empty when the tool still has to run, without the lock.
std::optional<int> runUnderLock(Invocation& call, bool inputSupplied)
{
    StateLock lock(call.sysroot);
    State state = loadState(call.sysroot);
    Machine machine(call.sysroot, state);
    FaultOutcome faults = applyFaults(machine, call.tool, call.arguments);
    if (faults.changed)
        saveState(call.sysroot, state);
    call.corruptCopy = faults.corruptCopy;
    std::optional<int> status;
    if (faults.failure) {
        if (!faults.failure->standardError.empty())
            std::cerr << faults.failure->standardError << "\n";
        status = faults.failure->exitStatus;
    } else if (changesMachine(call.tool)) {
        status = reportingRefusals(call.tool, [&] { return runMachineTool(call, machine); });
    }
    if (status) {
        std::cout.flush();
        audit(call.sysroot, call, inputSupplied, *status);
    }
    return status;
}

}

int standInMain(int argc, char** argv)
{
    std::string tool = baseName(canonicalPath("/proc/self/exe"));
    if (!macPaths().count(tool))
        tool = baseName(argc > 0 ? argv[0] : "");
    auto known = macPaths().find(tool);
    if (known == macPaths().end()) {
        std::cerr << "macsim: unknown stand-in " << tool << "\n";
        return 1;
    }
    auto sysroot = locateSysroot(known->second);
    if (!sysroot) {
        std::cerr << tool << ": no virtual Mac (FERROLATCH_SYSROOT is not set)\n";
        return 1;
    }

    Invocation call {*sysroot, tool, std::vector<std::string>(argv + 1, argv + argc), std::nullopt};
    bool inputSupplied = false;
    if (takesStandardInput(tool, call.arguments))
        call.input = readPassphrase(inputSupplied);

    std::optional<int> status;
    int lockStatus = reportingRefusals(tool, [&] {
        status = runUnderLock(call, inputSupplied);
        return 0;
    });
    if (!status) {
        status = lockStatus != 0 ? lockStatus : reportingRefusals(tool, [&] { return runUnlocked(call); });
        std::cout.flush();
        audit(call.sysroot, call, inputSupplied, *status);
    }
    return *status;
}

}

int main(int argc, char** argv)
{
    return macsim::standInMain(argc, argv);
}
