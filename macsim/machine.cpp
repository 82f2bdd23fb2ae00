#include "macsim/machine.h"

#include "macsim/arbitration.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/processes.h"

#include "common/uuid_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>

namespace macsim {

namespace {

constexpr std::uint64_t efiSize = 209715200;

void moveDirectory(const std::string& from, const std::string& to)
{
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw ToolError(errnoText(to, errno));
}

}

SecretBytes readKey(const Sysroot& sysroot, const std::string& uuid)
{
    SecretBytes key(volumeKeySize);
    readFileExactly(sysroot.keyFile(uuid), key.mutableBytes());
    return key;
}

void writeKey(const Sysroot& sysroot, const std::string& uuid, const SecretBytes& key)
{
    std::string directory = sysroot.keyFile("");
    directory.pop_back();
    makeDirectories(directory, 0700);
    writeFileAtomically(sysroot.keyFile(uuid), key.bytes(), 0600);
}

std::string Machine::device(const Container& container, const Volume& volume)
{
    return diskName(container.number, volume.slice);
}

Disk* Machine::disk(int number)
{
    for (Disk& candidate : m_state.disks) {
        if (candidate.number == number)
            return &candidate;
    }
    return nullptr;
}

Disk* Machine::storeDisk(const Container& container)
{
    DiskName name;
    if (!parseDiskName(container.store, name))
        return nullptr;
    return disk(name.disk);
}

bool Machine::visible(const Container& container)
{
    Disk* store = storeDisk(container);
    return store && store->attached;
}

int Machine::freeNumber() const
{
    std::set<int> used;
    for (const Disk& disk : m_state.disks)
        used.insert(disk.number);
    for (const Container& container : m_state.containers)
        used.insert(container.number);
    int number = 0;
    while (used.count(number))
        ++number;
    return number;
}

std::optional<Target> Machine::find(const std::string& text)
{
    DiskName name;
    if (parseDiskName(text, name)) {
        for (Container& container : m_state.containers) {
            if (container.number != name.disk || !visible(container))
                continue;
            if (!name.slice)
                return Target {Target::Kind::ContainerDisk, storeDisk(container), nullptr, &container, nullptr};
            for (Volume& volume : container.volumes) {
                if (volume.slice == name.slice)
                    return Target {Target::Kind::Volume, storeDisk(container), nullptr, &container, &volume};
            }
            return std::nullopt;
        }
        Disk* found = disk(name.disk);
        if (!found || !found->attached)
            return std::nullopt;
        if (!name.slice)
            return Target {Target::Kind::WholeDisk, found, nullptr, nullptr, nullptr};
        for (Partition& partition : found->partitions) {
            if (partition.slice == name.slice)
                return Target {Target::Kind::Partition, found, &partition, nullptr, nullptr};
        }
        return std::nullopt;
    }
    // A volume or partition UUID names it too, in either letter case, as on a Mac.
    if (auto uuid = ferrolatch::uuidBytesFromText(text)) {
        for (Container& container : m_state.containers) {
            if (!visible(container))
                continue;
            for (Volume& volume : container.volumes)
                if (ferrolatch::uuidBytesFromText(volume.uuid) == uuid)
                    return Target {Target::Kind::Volume, storeDisk(container), nullptr, &container, &volume};
        }
        for (Disk& disk : m_state.disks) {
            if (!disk.attached)
                continue;
            for (Partition& partition : disk.partitions)
                if (ferrolatch::uuidBytesFromText(partition.uuid) == uuid)
                    return Target {Target::Kind::Partition, &disk, &partition, nullptr, nullptr};
        }
        return std::nullopt;
    }
    if (text.empty() || text.front() != '/' || startsWith(text, "/dev/"))
        return std::nullopt;
    // A path names the mounted volume it lies on; the host's own tree is the
    // internal root volume.
    std::string path = canonicalPath(text);
    if (path.empty())
        return std::nullopt;
    Target best;
    std::size_t bestLength = 0;
    for (Container& container : m_state.containers) {
        if (!visible(container))
            continue;
        for (Volume& volume : container.volumes) {
            if (!volume.mounted)
                continue;
            const std::string& mount = volume.mountPoint;
            bool inside = mount == "/" || path == mount
                || (path.size() > mount.size() && startsWith(path, mount) && path[mount.size()] == '/');
            if (inside && (mount.size() > bestLength || !best.volume)) {
                best = Target {Target::Kind::Volume, storeDisk(container), nullptr, &container, &volume};
                bestLength = mount.size();
            }
        }
    }
    if (!best.volume)
        return std::nullopt;
    return best;
}

std::string Machine::allocateMountPoint(const std::string& name) const
{
    // A Mac shows "/" in a volume name as ":" in its mount point.
    std::string safe = name;
    std::replace(safe.begin(), safe.end(), '/', ':');
    if (safe == "." || safe == "..")
        safe = "Untitled";
    std::string base = m_sysroot.volumesDirectory() + "/" + safe;
    std::string candidate = base;
    for (int suffix = 1; pathExists(candidate); ++suffix)
        candidate = base + " " + std::to_string(suffix);
    return candidate;
}

void Machine::refuseIfBusy(const Volume& volume, const std::string& message) const
{
    if (!volume.mounted || volume.system)
        return;
    if (auto user = processUsing(volume.mountPoint)) {
        throw ToolError(message + ": dissented by PID " + std::to_string(user->pid) + " (" + user->executable + ")");
    }
}

void Machine::mount(Volume& volume, bool browsable)
{
    std::string mountPoint = allocateMountPoint(volume.name);
    makeDirectories(m_sysroot.volumesDirectory());
    moveDirectory(dataDirectory(volume), mountPoint);
    volume.mounted = true;
    volume.mountPoint = mountPoint;
    volume.browsable = browsable;
    postVolumeChange(m_sysroot, VolumeChange::Mounted, mountPoint);
}

bool Machine::mountIfApproved(Container& container, Volume& volume, bool browsable)
{
    if (mountDissent(m_sysroot, {device(container, volume), volume.uuid}))
        return false;
    mount(volume, browsable);
    return true;
}

void Machine::requireMountApproval(Container& container, Volume& volume, const std::string& failure)
{
    if (auto dissent = mountDissent(m_sysroot, {device(container, volume), volume.uuid}))
        throw ToolError(failure + ": " + *dissent);
}

void Machine::rename(Volume& volume, const std::string& name)
{
    volume.name = name;
    if (!volume.mounted)
        return;
    std::string mountPoint = allocateMountPoint(name);
    moveDirectory(volume.mountPoint, mountPoint);
    volume.mountPoint = mountPoint;
    postVolumeChange(m_sysroot, VolumeChange::Renamed, mountPoint);
}

void Machine::unmount(Container& container, Volume& volume, bool force)
{
    if (!force)
        refuseIfBusy(volume,
            "Volume " + volume.name + " on " + device(container, volume) + " failed to unmount");
    removeTree(dataDirectory(volume));
    moveDirectory(volume.mountPoint, dataDirectory(volume));
    std::string mountPoint = volume.mountPoint;
    volume.mounted = false;
    volume.mountPoint.clear();
    postVolumeChange(m_sysroot, VolumeChange::Unmounted, mountPoint);
}

void Machine::lock(Container& container, Volume& volume, bool force)
{
    if (!force)
        refuseIfBusy(volume, "Error locking APFS Volume " + device(container, volume));
    SecretBytes key = readKey(m_sysroot, volume.uuid);
    std::string source = volume.mounted ? volume.mountPoint : dataDirectory(volume);
    std::string temporary = sealedFile(volume) + ".tmp";
    sealTree(source, key, volume.uuid, temporary);
    moveDirectory(temporary, sealedFile(volume));
    removeTree(source);
    ::remove(m_sysroot.keyFile(volume.uuid).c_str());
    bool wasMounted = volume.mounted;
    volume.locked = true;
    volume.mounted = false;
    if (wasMounted)
        postVolumeChange(m_sysroot, VolumeChange::Unmounted, volume.mountPoint);
    volume.mountPoint.clear();
}

void Machine::unlock(Container& container, Volume& volume, const SecretBytes& password)
{
    if (!volume.keybag)
        throw ToolError("macsim: volume " + device(container, volume) + " has no keybag");
    auto key = unwrapKey(*volume.keybag, password, volume.uuid);
    if (!key)
        throw ToolError("Error unlocking APFS Volume " + device(container, volume)
            + ": the passphrase is incorrect (-69749)");
    // Asked before anything changes, so a dissented mount leaves the volume locked.
    requireMountApproval(container, volume, "Volume on " + device(container, volume) + " failed to mount");
    std::string staging = m_sysroot.volumeStore(volume.uuid) + "/unsealing";
    removeTree(staging);
    openTree(sealedFile(volume), *key, volume.uuid, staging);
    removeTree(dataDirectory(volume));
    moveDirectory(staging, dataDirectory(volume));
    try {
        writeKey(m_sysroot, volume.uuid, *key);
        volume.locked = false;
        mount(volume, true);
    } catch (...) {
        // The sealed file stays the only copy until the volume is mounted, so
        // a failed mount leaves it locked and unlockable, with no plaintext.
        volume.locked = true;
        try {
            removeTree(dataDirectory(volume));
        } catch (const ToolError&) {
        }
        ::remove(m_sysroot.keyFile(volume.uuid).c_str());
        throw;
    }
    ::remove(sealedFile(volume).c_str());
}

Volume& Machine::addVolume(Container& container, const std::string& name, const SecretBytes* password,
    const std::string& hint)
{
    std::set<int> slices;
    for (const Volume& volume : container.volumes)
        slices.insert(volume.slice);
    Volume volume;
    volume.slice = 1;
    while (slices.count(volume.slice))
        ++volume.slice;
    volume.uuid = randomUUID();
    volume.name = name;
    volume.hint = hint;
    makeDirectories(m_sysroot.volumeStore(volume.uuid), 0700);
    makeDirectories(dataDirectory(volume));
    if (password) {
        SecretBytes key = newVolumeKey();
        volume.encrypted = true;
        volume.keybag = wrapKey(key, *password, volume.uuid);
        writeKey(m_sysroot, volume.uuid, key);
    }
    container.volumes.push_back(volume);
    Volume& added = container.volumes.back();
    mount(added, true);
    return added;
}

void Machine::destroyContainer(const Container& container)
{
    for (const Volume& volume : container.volumes) {
        if (volume.system)
            continue;
        if (volume.mounted) {
            removeTree(volume.mountPoint);
            postVolumeChange(m_sysroot, VolumeChange::Unmounted, volume.mountPoint);
        }
        dropClaim(m_sysroot, device(container, volume));
        removeTree(m_sysroot.volumeStore(volume.uuid));
        ::remove(m_sysroot.keyFile(volume.uuid).c_str());
    }
}

void Machine::erase(Disk& target, const std::string& volumeName)
{
    std::string device = diskName(target.number);
    std::vector<Container> kept;
    std::vector<Container> doomed;
    for (const Container& container : m_state.containers)
        (storeDisk(container) == &target ? doomed : kept).push_back(container);
    for (const Container& container : doomed) {
        for (const Volume& volume : container.volumes) {
            if (volume.system || (volume.mounted && processUsing(volume.mountPoint)))
                throw ToolError("Error: -69888: Couldn't unmount disk " + device);
        }
    }
    for (const Container& container : doomed)
        destroyContainer(container);
    m_state.containers = std::move(kept);

    std::uint64_t efi = std::min(efiSize, target.size / 8);
    std::uint64_t overhead = 2 * 20480;
    target.scheme = "GUID_partition_scheme";
    target.partitions = {
        {1, "EFI", "EFI", efi, randomUUID()},
        {2, "Apple_APFS", "", target.size > efi + overhead ? target.size - efi - overhead : 0, randomUUID()},
    };
    Container container;
    container.number = freeNumber();
    container.uuid = randomUUID();
    container.store = diskName(target.number, 2);
    m_state.containers.push_back(container);
    addVolume(m_state.containers.back(), volumeName, nullptr, "");
}

void Machine::detach(Disk& target)
{
    for (Container& container : m_state.containers) {
        if (storeDisk(container) != &target)
            continue;
        for (Volume& volume : container.volumes) {
            // Pulling a drive out discards its keys: unlocked volumes end up locked.
            if (volume.encrypted && !volume.locked)
                lock(container, volume, true);
            else if (volume.mounted)
                unmount(container, volume, true);
            // A claim ends with its disk.
            dropClaim(m_sysroot, device(container, volume));
        }
    }
    target.attached = false;
}

void Machine::attach(Disk& target)
{
    target.attached = true;
    std::vector<std::pair<Container*, Volume*>> arrived;
    for (Container& container : m_state.containers) {
        if (storeDisk(container) != &target)
            continue;
        for (Volume& volume : container.volumes) {
            if (!volume.system)
                arrived.emplace_back(&container, &volume);
        }
    }
    // Every session sees every volume before any mount is decided, so a
    // claim taken at the peek is in place when the approvals are asked.
    for (auto [container, volume] : arrived)
        peekSessions(m_sysroot, {device(*container, *volume), volume->uuid});
    for (auto [container, volume] : arrived) {
        if (!volume->encrypted && !volume->mounted)
            mountIfApproved(*container, *volume, volume->browsable);
        else if (volume->encrypted && volume->locked && !automaticMountDissent(m_sysroot, ArbitratedVolume {device(*container, *volume), volume->uuid})
                 && !isClaimed(m_sysroot, device(*container, *volume)))
            // The system tries a locked volume too; only an approved attempt
            // on an unclaimed volume reaches the APFS agent's prompt.
            offerToPasswordAgent(m_sysroot, volume->uuid);
    }
}

void addInternalDisk(State& state)
{
    Disk internal;
    internal.number = 0;
    internal.media = "APPLE SSD AP0512Z";
    internal.size = 500277790720;
    internal.bus = "Apple Fabric";
    internal.tree = "IODeviceTree:/arm-io@10F00000/ans@8F400000/iop-ans-nub/AppleANS3NVMeController/NS_01@1";
    internal.internal = true;
    internal.scheme = "GUID_partition_scheme";
    internal.partitions = {
        {1, "Apple_APFS_ISC", "", 524288000, randomUUID()},
        {2, "Apple_APFS", "", 494384795648, randomUUID()},
        {3, "Apple_APFS_Recovery", "", 5368664064, randomUUID()},
    };
    state.disks.push_back(internal);

    auto systemVolume = [](int slice, const std::string& name, const std::string& role, const std::string& mountPoint) {
        Volume volume;
        volume.slice = slice;
        volume.uuid = randomUUID();
        volume.name = name;
        volume.role = role;
        volume.system = true;
        volume.mounted = !mountPoint.empty();
        volume.mountPoint = mountPoint;
        return volume;
    };
    state.containers.push_back({1, randomUUID(), "disk0s1",
        {systemVolume(1, "iSCPreboot", "Preboot", ""), systemVolume(2, "xART", "xART", ""),
            systemVolume(3, "Hardware", "Hardware", "")}});
    state.containers.push_back({2, randomUUID(), "disk0s3", {systemVolume(1, "Recovery", "Recovery", "")}});
    state.containers.push_back({3, randomUUID(), "disk0s2",
        {systemVolume(1, "Macintosh HD", "System", "/"), systemVolume(2, "Preboot", "Preboot", ""),
            systemVolume(3, "Recovery", "Recovery", ""), systemVolume(5, "Data", "Data", ""),
            systemVolume(6, "VM", "VM", "")}});
}

}
