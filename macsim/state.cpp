#include "macsim/state.h"

#include "macsim/basics.h"
#include "macsim/file_ops.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace macsim {

using nlohmann::json;

// Records whose stored keys are their field names.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Keybag, salt, iterations, nonce, wrapped)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Partition, slice, content, name, size, uuid)

void to_json(json& j, const Volume& v)
{
    j = {{"slice", v.slice}, {"uuid", v.uuid}, {"name", v.name}, {"role", v.role}, {"encrypted", v.encrypted},
        {"locked", v.locked}, {"mounted", v.mounted}, {"browsable", v.browsable}, {"mountPoint", v.mountPoint},
        {"hint", v.hint}, {"system", v.system}};
    if (v.keybag)
        j["keybag"] = *v.keybag;
    if (v.freeSpace)
        j["freeSpace"] = *v.freeSpace;
}
void from_json(const json& j, Volume& v)
{
    j.at("slice").get_to(v.slice);
    j.at("uuid").get_to(v.uuid);
    j.at("name").get_to(v.name);
    j.at("role").get_to(v.role);
    j.at("encrypted").get_to(v.encrypted);
    j.at("locked").get_to(v.locked);
    j.at("mounted").get_to(v.mounted);
    j.at("browsable").get_to(v.browsable);
    j.at("mountPoint").get_to(v.mountPoint);
    j.at("hint").get_to(v.hint);
    j.at("system").get_to(v.system);
    if (j.contains("keybag"))
        v.keybag = j.at("keybag").get<Keybag>();
    if (j.contains("freeSpace"))
        v.freeSpace = j.at("freeSpace").get<std::uint64_t>();
}

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Container, number, uuid, store, volumes)

void to_json(json& j, const Disk& d)
{
    j = {{"number", d.number}, {"media", d.media}, {"size", d.size}, {"bus", d.bus}, {"tree", d.tree},
        {"internal", d.internal}, {"virtual", d.isVirtual}, {"readOnly", d.readOnly}, {"attached", d.attached},
        {"scheme", d.scheme}, {"partitions", d.partitions}, {"image", d.image}};
}
void from_json(const json& j, Disk& d)
{
    j.at("number").get_to(d.number);
    j.at("media").get_to(d.media);
    j.at("size").get_to(d.size);
    j.at("bus").get_to(d.bus);
    j.at("tree").get_to(d.tree);
    j.at("internal").get_to(d.internal);
    j.at("virtual").get_to(d.isVirtual);
    j.at("readOnly").get_to(d.readOnly);
    j.at("attached").get_to(d.attached);
    j.at("scheme").get_to(d.scheme);
    j.at("partitions").get_to(d.partitions);
    j.at("image").get_to(d.image);
}

void to_json(json& j, const Fault& f)
{
    j = {{"tool", f.tool}, {"prefix", f.prefix}, {"nth", f.nth}, {"exit", f.exitStatus}, {"stderr", f.standardError},
        {"seen", f.seen}, {"fired", f.fired}};
    if (f.setDisk)
        j["setDisk"] = *f.setDisk;
    if (f.corruptCopy)
        j["corruptCopy"] = true;
}
void from_json(const json& j, Fault& f)
{
    j.at("tool").get_to(f.tool);
    j.at("prefix").get_to(f.prefix);
    j.at("nth").get_to(f.nth);
    j.at("exit").get_to(f.exitStatus);
    j.at("stderr").get_to(f.standardError);
    j.at("seen").get_to(f.seen);
    j.at("fired").get_to(f.fired);
    if (j.contains("setDisk"))
        f.setDisk = j.at("setDisk").get<std::array<std::string, 3>>();
    if (j.contains("corruptCopy"))
        j.at("corruptCopy").get_to(f.corruptCopy);
}

std::string encodeState(const State& state)
{
    json j = {{"version", 1}, {"login", state.login}, {"disks", state.disks}, {"containers", state.containers},
        {"faults", state.faults}};
    return j.dump(1) + "\n";
}

State decodeState(const std::string& text)
{
    try {
        json j = json::parse(text);
        if (j.at("version").get<int>() != 1)
            throw ToolError("macsim: unsupported state version");
        State state;
        j.at("login").get_to(state.login);
        j.at("disks").get_to(state.disks);
        j.at("containers").get_to(state.containers);
        j.at("faults").get_to(state.faults);
        return state;
    } catch (const json::exception& error) {
        throw ToolError(std::string("macsim: unreadable state: ") + error.what());
    }
}

StateLock::StateLock(const Sysroot& sysroot)
{
    m_fd = ::open(sysroot.lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        throw ToolError("macsim: no virtual Mac at " + sysroot.root + " (run macsim init)");
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            throw ToolError(errnoText(sysroot.lockFile(), errno));
    }
}

StateLock::~StateLock()
{
    // Closing releases the lock.
    ::close(m_fd);
}

State loadState(const Sysroot& sysroot)
{
    if (!pathExists(sysroot.stateFile()))
        throw ToolError("macsim: no virtual Mac at " + sysroot.root + " (run macsim init)");
    return decodeState(readFile(sysroot.stateFile()));
}

void saveState(const Sysroot& sysroot, const State& state)
{
    writeFileAtomically(sysroot.stateFile(), encodeState(state));
}

namespace {

bool looksLikeSysroot(const std::string& root)
{
    return !root.empty() && pathExists(root + "/private/var/db/macsim/state.json");
}

}

std::optional<Sysroot> locateSysroot(const std::string& macPath)
{
    std::string executable = canonicalPath("/proc/self/exe");
    if (executable.size() > macPath.size() && executable.compare(executable.size() - macPath.size(), macPath.size(), macPath) == 0) {
        std::string root = executable.substr(0, executable.size() - macPath.size());
        if (looksLikeSysroot(root))
            return Sysroot {root};
    }
    return sysrootFromEnvironment();
}

std::optional<Sysroot> sysrootFromEnvironment()
{
    const char* value = std::getenv("FERROLATCH_SYSROOT");
    if (!value || !*value)
        return std::nullopt;
    std::string root = canonicalPath(value);
    if (root.empty())
        root = value;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return Sysroot {root};
}

}
