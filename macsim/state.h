#pragma once

#include "macsim/sealed_tree.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace macsim {

// Where one virtual Mac keeps everything. The machine's state is one JSON file
// under private/var/db/macsim, changed only while its lock file is held.
struct Sysroot {
    std::string root; // canonical, no trailing slash

    std::string path(const std::string& macPath) const { return root + macPath; }
    std::string stateFile() const { return root + "/private/var/db/macsim/state.json"; }
    std::string lockFile() const { return root + "/private/var/db/macsim/state.lock"; }
    std::string volumeStore(const std::string& uuid) const { return root + "/private/var/db/macsim/volumes/" + uuid; }
    // Keys of unlocked volumes and attached images; the stand-in for kernel memory.
    std::string keyFile(const std::string& uuid) const { return root + "/private/var/run/macsim/keys/" + uuid; }
    std::string volumesDirectory() const { return root + "/Volumes"; }
    std::string auditLog() const { return root + "/private/var/log/macsim/audit.jsonl"; }
    std::string openLog() const { return root + "/private/var/log/macsim/open.jsonl"; }
    std::string agentExecutable() const { return root + "/System/Library/CoreServices/APFSUserAgent"; }
};

struct Volume {
    int slice = 0;
    std::string uuid;
    std::string name;
    std::string role;          // system volumes of the internal disk only
    bool encrypted = false;
    bool locked = false;
    bool mounted = false;
    bool browsable = true;     // false after "mount nobrowse" or "attach -nobrowse"
    std::string mountPoint;    // host path while mounted
    std::string hint;
    std::optional<Keybag> keybag;
    bool system = false;       // the internal disk's volumes: no contents kept here
    // What the volume reports as free while mounted, when a test fixed it;
    // otherwise the container's size less its contents.
    std::optional<std::uint64_t> freeSpace;
};

struct Container {
    int number = 0;
    std::string uuid;
    std::string store; // device of the physical store, e.g. disk4s2
    std::vector<Volume> volumes;
};

struct Partition {
    int slice = 0;
    std::string content; // "EFI", "Apple_APFS", ...
    std::string name;
    std::uint64_t size = 0;
    std::string uuid;
};

struct Disk {
    int number = 0;
    std::string media;
    std::uint64_t size = 0;
    std::string bus;
    std::string tree;
    bool internal = false;
    bool isVirtual = false;
    bool readOnly = false;
    bool attached = true;
    std::string scheme; // "" for a blank disk, else "GUID_partition_scheme"
    std::vector<Partition> partitions;
    std::string image;  // the image file or bundle behind an attached disk image
};

struct Fault {
    std::string tool;
    std::vector<std::string> prefix;
    int nth = 1;
    int exitStatus = 1;
    std::string standardError;
    // Instead of failing: change a disk's identity, then let the call run.
    std::optional<std::array<std::string, 3>> setDisk;
    // Instead of failing: let ditto copy, then damage one byte of the copy,
    // as a failing drive would.
    bool corruptCopy = false;
    int seen = 0;
    bool fired = false;
};

struct State {
    std::string login;
    std::vector<Disk> disks;
    std::vector<Container> containers;
    std::vector<Fault> faults;
};

std::string encodeState(const State& state);
State decodeState(const std::string& json); // throws ToolError

// Holds the machine's lock for its lifetime; several processes serialise here.
class StateLock {
public:
    explicit StateLock(const Sysroot& sysroot);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int m_fd = -1;
};

State loadState(const Sysroot& sysroot);
void saveState(const Sysroot& sysroot, const State& state); // temp file and rename

// The sysroot a stand-in belongs to: from where its executable lies
// ($SYSROOT + its Mac path), else from FERROLATCH_SYSROOT.
std::optional<Sysroot> locateSysroot(const std::string& macPath);
std::optional<Sysroot> sysrootFromEnvironment();

}
