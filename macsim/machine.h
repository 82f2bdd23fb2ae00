#pragma once

#include "macsim/state.h"

#include <optional>
#include <string>

namespace macsim {

// What an identifier, device node or path names on the virtual Mac.
struct Target {
    enum class Kind { WholeDisk, Partition, ContainerDisk, Volume } kind = Kind::WholeDisk;
    Disk* disk = nullptr;           // the physical (or image) disk behind it
    Partition* partition = nullptr; // Kind::Partition
    Container* container = nullptr; // ContainerDisk and Volume
    Volume* volume = nullptr;       // Kind::Volume
};

// The disks, containers and volumes of one virtual Mac, with the file effects
// that go with changing them. Only attached disks are visible to lookups.
class Machine {
public:
    Machine(Sysroot sysroot, State& state) : m_sysroot(std::move(sysroot)), m_state(state) {}

    const Sysroot& sysroot() const { return m_sysroot; }
    State& state() { return m_state; }

    std::optional<Target> find(const std::string& text);
    Disk* disk(int number);                 // attached or not
    Disk* storeDisk(const Container& container);
    bool visible(const Container& container);
    int freeNumber() const;                 // lowest number no disk or container holds

    // Offers the disk's volumes to the Disk Arbitration sessions, mounts what
    // mounts on its own unless a session dissents, and hands locked volumes
    // nobody claims to the APFS agent.
    void attach(Disk& disk);
    void detach(Disk& disk);                // locks encrypted volumes, unmounts the rest
    void erase(Disk& disk, const std::string& volumeName);
    Volume& addVolume(Container& container, const std::string& name, const SecretBytes* password, const std::string& hint);
    void unlock(Container& container, Volume& volume, const SecretBytes& password);
    void lock(Container& container, Volume& volume, bool force = false);
    void mount(Volume& volume, bool browsable);
    // A mount the sessions approved first; false when one dissented.
    bool mountIfApproved(Container& container, Volume& volume, bool browsable);
    // Fails with failure + ": " + the dissenter's status string.
    void requireMountApproval(Container& container, Volume& volume, const std::string& failure);
    // Renames a volume; a mounted one moves to a mount point of its new name.
    void rename(Volume& volume, const std::string& name);
    void unmount(Container& container, Volume& volume, bool force = false);
    void destroyContainer(const Container& container); // contents and keys gone; state entry stays

    std::string allocateMountPoint(const std::string& name) const;
    std::string dataDirectory(const Volume& volume) const { return m_sysroot.volumeStore(volume.uuid) + "/data"; }
    std::string sealedFile(const Volume& volume) const { return m_sysroot.volumeStore(volume.uuid) + "/sealed"; }
    static std::string device(const Container& container, const Volume& volume);

    void refuseIfBusy(const Volume& volume, const std::string& message) const;

private:
    Sysroot m_sysroot;
    State& m_state;
};

// disk0 and its containers, with "/" as the root volume.
void addInternalDisk(State& state);

// The key of an unlocked volume or attached image, kept while it is open.
SecretBytes readKey(const Sysroot& sysroot, const std::string& uuid);
void writeKey(const Sysroot& sysroot, const std::string& uuid, const SecretBytes& key);

}
