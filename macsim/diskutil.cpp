#include "macsim/basics.h"
#include "macsim/plist_out.h"
#include "macsim/processes.h"
#include "macsim/standin.h"

#include <algorithm>
#include <iostream>

namespace macsim {

namespace {

const char* const apfsVolumeContent = "41504653-0000-11AA-AA11-00306543ECAC";
const char* const apfsContainerContent = "EF57347C-0000-11AA-AA11-00306543ECAC";

[[noreturn]] void notFound(const std::string& target)
{
    throw ToolError("Could not find disk: " + target);
}

const Partition* storePartition(Machine& machine, const Container& container)
{
    DiskName name;
    Disk* disk = machine.storeDisk(container);
    if (!disk || !parseDiskName(container.store, name))
        return nullptr;
    for (const Partition& partition : disk->partitions) {
        if (partition.slice == name.slice)
            return &partition;
    }
    return nullptr;
}

std::uint64_t storeSize(Machine& machine, const Container& container)
{
    const Partition* store = storePartition(machine, container);
    return store ? store->size : 0;
}

Container* containerOnStore(Machine& machine, const std::string& store)
{
    for (Container& container : machine.state().containers) {
        if (container.store == store && machine.visible(container))
            return &container;
    }
    return nullptr;
}

bool isImage(const Disk& disk)
{
    return !disk.image.empty();
}

// What every kind of disk shares: where it sits and what may be done to it.
Plist::Dictionary mediaKeys(const Disk& disk)
{
    bool external = !disk.internal;
    bool writable = !disk.readOnly;
    return {
        {"AESHardware", false},
        {"Bootable", false},
        {"BusProtocol", disk.bus},
        {"CanBeMadeBootable", false},
        {"CanBeMadeBootableRequiresDestroy", false},
        {"DeviceBlockSize", 512},
        {"Ejectable", external},
        {"EjectableMediaAutomount", external},
        {"EjectableOnly", external},
        {"GlobalPermissionsEnabled", false},
        {"Internal", disk.internal},
        {"OSInternalMedia", disk.internal},
        {"RAIDMaster", false},
        {"RAIDSlice", false},
        {"Removable", external},
        {"RemovableMedia", external},
        {"RemovableMediaOrExternalDevice", external},
        {"SMARTStatus", disk.internal ? "Verified" : "Not Supported"},
        {"SolidState", disk.internal},
        {"SupportsGlobalPermissionsDisable", false},
        {"SystemImage", false},
        {"VirtualOrPhysical", disk.isVirtual || isImage(disk) ? "Virtual" : "Physical"},
        {"Writable", writable},
        {"WritableMedia", writable},
        {"WritableSupported", writable},
    };
}

Plist wholeDiskInfo(const Disk& disk)
{
    Plist::Dictionary info = mediaKeys(disk);
    std::string identifier = diskName(disk.number);
    info.insert({
        {"Content", disk.scheme},
        {"DeviceIdentifier", identifier},
        {"DeviceNode", "/dev/" + identifier},
        {"DeviceTreePath", disk.tree},
        {"FreeSpace", 0},
        {"IOKitSize", disk.size},
        {"IORegistryEntryName", disk.media + " Media"},
        {"LowLevelFormatSupported", false},
        {"MediaName", disk.media},
        {"MediaType", "Generic"},
        {"MountPoint", ""},
        {"ParentWholeDisk", identifier},
        {"PartitionMapPartition", false},
        {"Size", disk.size},
        {"TotalSize", disk.size},
        {"VolumeName", ""},
        {"VolumeSize", 0},
        {"WholeDisk", true},
        {"WritableVolume", false},
    });
    return info;
}

Plist partitionInfo(Machine& machine, const Disk& disk, const Partition& partition)
{
    Plist::Dictionary info = mediaKeys(disk);
    std::string identifier = diskName(disk.number, partition.slice);
    info.insert({
        {"Content", partition.content},
        {"DeviceIdentifier", identifier},
        {"DeviceNode", "/dev/" + identifier},
        {"DeviceTreePath", disk.tree},
        {"DiskUUID", partition.uuid},
        {"FreeSpace", 0},
        {"IOKitSize", partition.size},
        {"IORegistryEntryName", partition.name.empty() ? partition.content : partition.name},
        {"MediaName", ""},
        {"MediaType", "Generic"},
        {"MountPoint", ""},
        {"ParentWholeDisk", diskName(disk.number)},
        {"PartitionMapPartition", true},
        {"Size", partition.size},
        {"TotalSize", partition.size},
        {"VolumeName", partition.name},
        {"VolumeSize", 0},
        {"WholeDisk", false},
        {"WritableVolume", false},
    });
    info["VirtualOrPhysical"] = disk.isVirtual || isImage(disk) ? "Virtual" : "Physical";
    if (Container* container = containerOnStore(machine, identifier))
        info["APFSContainerReference"] = diskName(container->number);
    return info;
}

Plist::Array physicalStores(const Container& container)
{
    return {Plist::Dictionary {{"APFSPhysicalStore", container.store}}};
}

Plist containerInfo(Machine& machine, const Disk& disk, const Container& container)
{
    Plist::Dictionary info = mediaKeys(disk);
    std::string identifier = diskName(container.number);
    std::uint64_t size = storeSize(machine, container);
    info.insert({
        {"APFSContainerFree", size},
        {"APFSContainerSize", size},
        {"APFSPhysicalStores", physicalStores(container)},
        {"Content", apfsContainerContent},
        {"DeviceIdentifier", identifier},
        {"DeviceNode", "/dev/" + identifier},
        {"DeviceTreePath", ""},
        {"FreeSpace", 0},
        {"IOKitSize", size},
        {"IORegistryEntryName", "AppleAPFSMedia"},
        {"MediaName", "AppleAPFSMedia"},
        {"MediaType", "Generic"},
        {"MountPoint", ""},
        {"ParentWholeDisk", identifier},
        {"PartitionMapPartition", false},
        {"Size", size},
        {"TotalSize", size},
        {"VolumeName", ""},
        {"VolumeSize", 0},
        {"WholeDisk", true},
        {"WritableVolume", false},
    });
    info["VirtualOrPhysical"] = "Virtual";
    return info;
}

Plist volumeInfo(Machine& machine, const Disk& disk, const Container& container, const Volume& volume)
{
    Plist::Dictionary info = mediaKeys(disk);
    std::string identifier = Machine::device(container, volume);
    std::uint64_t size = storeSize(machine, container);
    bool writable = !disk.readOnly && !volume.system;
    info.insert({
        {"APFSContainerReference", diskName(container.number)},
        {"APFSPhysicalStores", physicalStores(container)},
        {"APFSSnapshot", false},
        {"Content", apfsVolumeContent},
        {"DeviceIdentifier", identifier},
        {"DeviceNode", "/dev/" + identifier},
        {"DeviceTreePath", ""},
        {"DiskUUID", volume.uuid},
        {"Encryption", volume.encrypted},
        {"EncryptionThisVolumeProper", volume.encrypted},
        {"FileVault", volume.encrypted},
        {"FilesystemName", "APFS"},
        {"FilesystemType", "apfs"},
        {"FilesystemUserVisibleName", "APFS"},
        {"FreeSpace", size},
        {"IOKitSize", size},
        {"IORegistryEntryName", volume.name},
        {"Locked", volume.locked},
        {"MediaName", ""},
        {"MediaType", "Generic"},
        {"MountPoint", volume.mounted ? volume.mountPoint : ""},
        {"ParentWholeDisk", diskName(container.number)},
        {"PartitionMapPartition", false},
        {"Size", size},
        {"TotalSize", size},
        {"VolumeAllocationBlockSize", 4096},
        {"VolumeName", volume.name},
        {"VolumeSize", size},
        {"VolumeUUID", volume.uuid},
        {"WholeDisk", false},
        {"WritableVolume", writable && volume.mounted},
    });
    info["GlobalPermissionsEnabled"] = volume.mounted;
    info["VirtualOrPhysical"] = "Virtual";
    info["Writable"] = writable;
    if (!volume.role.empty())
        info["APFSVolumeRole"] = volume.role;
    return info;
}

Plist describe(Machine& machine, const Target& target)
{
    switch (target.kind) {
    case Target::Kind::WholeDisk:
        return wholeDiskInfo(*target.disk);
    case Target::Kind::Partition:
        return partitionInfo(machine, *target.disk, *target.partition);
    case Target::Kind::ContainerDisk:
        return containerInfo(machine, *target.disk, *target.container);
    case Target::Kind::Volume:
        break;
    }
    return volumeInfo(machine, *target.disk, *target.container, *target.volume);
}

std::vector<Container*> visibleContainers(Machine& machine)
{
    std::vector<Container*> containers;
    for (Container& container : machine.state().containers) {
        if (machine.visible(container))
            containers.push_back(&container);
    }
    std::sort(containers.begin(), containers.end(), [](auto* a, auto* b) { return a->number < b->number; });
    return containers;
}

std::vector<Volume*> sortedVolumes(Container& container)
{
    std::vector<Volume*> volumes;
    for (Volume& volume : container.volumes)
        volumes.push_back(&volume);
    std::sort(volumes.begin(), volumes.end(), [](auto* a, auto* b) { return a->slice < b->slice; });
    return volumes;
}

void apfsList(Machine& machine)
{
    Plist::Array containers;
    for (Container* container : visibleContainers(machine)) {
        std::uint64_t size = storeSize(machine, *container);
        Plist::Array volumes;
        std::uint64_t used = 0;
        for (Volume* volume : sortedVolumes(*container)) {
            std::uint64_t inUse = 1048576;
            used += inUse;
            Plist::Array roles;
            if (!volume->role.empty())
                roles.push_back(volume->role);
            volumes.push_back(Plist::Dictionary {
                {"APFSVolumeUUID", volume->uuid},
                {"CapacityInUse", inUse},
                {"CapacityQuota", 0},
                {"CapacityReserve", 0},
                {"CryptoMigrationOn", false},
                {"DeviceIdentifier", Machine::device(*container, *volume)},
                {"Encryption", volume->encrypted},
                {"FileVault", volume->encrypted},
                {"Locked", volume->locked},
                {"Name", volume->name},
                {"Roles", roles},
            });
        }
        const Partition* store = storePartition(machine, *container);
        containers.push_back(Plist::Dictionary {
            {"APFSContainerUUID", container->uuid},
            {"CapacityCeiling", size},
            {"CapacityFree", size > used ? size - used : 0},
            {"ContainerReference", diskName(container->number)},
            {"DesignatedAPFSVolume",
                container->volumes.empty() ? std::string() : Machine::device(*container, container->volumes.front())},
            {"Fusion", false},
            {"PhysicalStores",
                Plist::Array {Plist::Dictionary {
                    {"DeviceIdentifier", container->store},
                    {"DiskUUID", store ? store->uuid : std::string()},
                    {"Size", size},
                }}},
            {"Volumes", volumes},
        });
    }
    std::cout << toXml(Plist::Dictionary {{"Containers", containers}});
}

// The words after "list -plist": [internal|external] [physical|virtual].
struct ListFilter {
    bool onlyInternal = false;
    bool onlyExternal = false;
    bool onlyPhysical = false;
    bool onlyVirtual = false;

    bool admits(bool internal, bool isVirtual) const
    {
        return !(onlyInternal && !internal) && !(onlyExternal && internal) && !(onlyPhysical && isVirtual)
            && !(onlyVirtual && !isVirtual);
    }
};

ListFilter parseListFilter(const std::vector<std::string>& words)
{
    ListFilter filter;
    for (const std::string& word : words) {
        if (word == "internal")
            filter.onlyInternal = true;
        else if (word == "external")
            filter.onlyExternal = true;
        else if (word == "physical")
            filter.onlyPhysical = true;
        else if (word == "virtual")
            filter.onlyVirtual = true;
        else
            notFound(word);
    }
    return filter;
}

// One whole disk of the listing: its entry and the names it adds to the
// flat lists beside it.
struct ListedDisk {
    int number;
    Plist::Dictionary entry;
    std::vector<std::string> identifiers; // the whole disk, then its slices
    std::vector<std::string> mountedNames;
};

ListedDisk listedPhysicalDisk(const Disk& disk)
{
    ListedDisk listed {disk.number, {}, {diskName(disk.number)}, {}};
    Plist::Array partitions;
    for (const Partition& partition : disk.partitions) {
        std::string identifier = diskName(disk.number, partition.slice);
        listed.identifiers.push_back(identifier);
        Plist::Dictionary entry {
            {"Content", partition.content},
            {"DeviceIdentifier", identifier},
            {"DiskUUID", partition.uuid},
            {"Size", partition.size},
        };
        if (!partition.name.empty())
            entry["VolumeName"] = partition.name;
        partitions.push_back(entry);
    }
    listed.entry = {
        {"Content", disk.scheme},
        {"DeviceIdentifier", diskName(disk.number)},
        {"OSInternal", disk.internal},
        {"Partitions", partitions},
        {"Size", disk.size},
    };
    return listed;
}

ListedDisk listedContainer(Machine& machine, Container& container, bool internal)
{
    ListedDisk listed {container.number, {}, {diskName(container.number)}, {}};
    std::uint64_t size = storeSize(machine, container);
    Plist::Array volumes;
    for (Volume* volume : sortedVolumes(container)) {
        std::string identifier = Machine::device(container, *volume);
        listed.identifiers.push_back(identifier);
        Plist::Dictionary entry {
            {"DeviceIdentifier", identifier},
            {"DiskUUID", volume->uuid},
            {"OSInternal", internal},
            {"Size", size},
            {"VolumeName", volume->name},
            {"VolumeUUID", volume->uuid},
        };
        if (volume->mounted) {
            entry["MountPoint"] = volume->mountPoint;
            listed.mountedNames.push_back(volume->name);
        }
        volumes.push_back(entry);
    }
    listed.entry = {
        {"APFSPhysicalStores", Plist::Array {Plist::Dictionary {{"DeviceIdentifier", container.store}}}},
        {"APFSVolumes", volumes},
        {"Content", apfsContainerContent},
        {"DeviceIdentifier", diskName(container.number)},
        {"OSInternal", internal},
        {"Size", size},
    };
    return listed;
}

void list(Machine& machine, const std::vector<std::string>& words)
{
    ListFilter filter = parseListFilter(words);
    std::vector<ListedDisk> listed;
    for (Disk& disk : machine.state().disks) {
        if (disk.attached && filter.admits(disk.internal, disk.isVirtual || isImage(disk)))
            listed.push_back(listedPhysicalDisk(disk));
    }
    // A container is a synthesized disk: virtual, on its store's side of the Mac.
    for (Container* container : visibleContainers(machine)) {
        bool internal = machine.storeDisk(*container)->internal;
        if (filter.admits(internal, true))
            listed.push_back(listedContainer(machine, *container, internal));
    }
    std::sort(listed.begin(), listed.end(), [](const ListedDisk& a, const ListedDisk& b) { return a.number < b.number; });
    Plist::Array allDisks;
    Plist::Array entries;
    Plist::Array volumes;
    Plist::Array wholeDisks;
    for (const ListedDisk& disk : listed) {
        for (const std::string& identifier : disk.identifiers)
            allDisks.push_back(identifier);
        for (const std::string& name : disk.mountedNames)
            volumes.push_back(name);
        entries.push_back(disk.entry);
        wholeDisks.push_back(diskName(disk.number));
    }
    std::cout << toXml(Plist::Dictionary {
        {"AllDisks", allDisks},
        {"AllDisksAndPartitions", entries},
        {"VolumesFromDisks", volumes},
        {"WholeDisks", wholeDisks},
    });
}

void requirePlist(const std::vector<std::string>& arguments, std::size_t index)
{
    if (arguments.size() <= index || arguments[index] != "-plist")
        throw ToolError("macsim: only the -plist form of this verb is provided");
}

Target volumeTarget(Machine& machine, const std::string& text, const std::string& verb)
{
    auto target = machine.find(text);
    if (!target)
        notFound(text);
    if (target->kind != Target::Kind::Volume)
        throw ToolError(text + " is not an APFS Volume; " + verb + " needs an APFS Volume");
    return *target;
}

void refuseReadOnly(const Disk& disk)
{
    if (disk.readOnly)
        throw ToolError("Error: -69763: Unable to write to the last block of the device");
}

void eraseDisk(Machine& machine, const std::vector<std::string>& arguments)
{
    // eraseDisk FORMAT NAME [SCHEME] DEVICE
    if (arguments.size() != 4 && arguments.size() != 5)
        throw ToolError("Usage:  diskutil eraseDisk format name [APM[Format]|MBR[Format]|GPT[Format]] "
                        "MountPoint|DiskIdentifier|DeviceNode");
    const std::string& format = arguments[1];
    const std::string& name = arguments[2];
    const std::string& device = arguments.back();
    if (format != "APFS")
        throw ToolError("macsim: only APFS is provided as a format, not " + format);
    if (arguments.size() == 5 && arguments[3] != "GPT" && arguments[3] != "GPTFormat")
        throw ToolError("macsim: only the GPT partition scheme is provided");
    if (name.empty())
        throw ToolError("A volume name is required");
    auto target = machine.find(device);
    if (!target)
        notFound(device);
    if (target->kind != Target::Kind::WholeDisk)
        throw ToolError(device + " is not a whole disk");
    if (isImage(*target->disk))
        throw ToolError("macsim: erasing an attached disk image is not provided");
    refuseReadOnly(*target->disk);
    std::string identifier = diskName(target->disk->number);
    machine.erase(*target->disk, name);
    const Container& container = machine.state().containers.back();
    std::cout << "Started erase on " << identifier << "\n"
              << "Unmounting disk\n"
              << "Creating the partition map\n"
              << "Waiting for partitions to activate\n"
              << "Formatting " << identifier << "s2 as APFS with name " << name << "\n"
              << "Mounting disk\n"
              << "The new APFS Container is " << diskName(container.number) << "\n"
              << "Finished erase on " << identifier << "\n";
}

void addVolume(Invocation& call, Machine& machine)
{
    // apfs addVolume CONTAINER FORMAT NAME [-stdinpassphrase] [-passphraseHint HINT]
    const auto& arguments = call.arguments;
    if (arguments.size() < 5)
        throw ToolError("Usage:  diskutil apfs addVolume ContainerRef FORMAT NAME [-stdinpassphrase] "
                        "[-passphraseHint HINT]");
    const std::string& reference = arguments[2];
    const std::string& format = arguments[3];
    const std::string& name = arguments[4];
    bool encrypted = false;
    std::string hint;
    for (std::size_t index = 5; index < arguments.size(); ++index) {
        if (arguments[index] == "-stdinpassphrase")
            encrypted = true;
        else if (arguments[index] == "-passphraseHint" && index + 1 < arguments.size())
            hint = arguments[++index];
        else
            throw ToolError("macsim: addVolume option not provided: " + arguments[index]);
    }
    if (format != "APFS" && format != "APFSX")
        throw ToolError(format + " is not a valid APFS volume format");
    if (name.empty())
        throw ToolError("A volume name is required");
    if (!hint.empty() && !encrypted)
        throw ToolError("A passphrase hint can only be given with a passphrase");
    if (encrypted && (!call.input || call.input->empty()))
        throw ToolError("Error: -69562: A passphrase is required on standard input");
    auto target = machine.find(reference);
    if (!target)
        notFound(reference);
    Container* container = target->container;
    if (target->kind == Target::Kind::Partition)
        container = containerOnStore(machine, reference.substr(reference.find("disk")));
    if (target->kind == Target::Kind::Volume || !container)
        throw ToolError(reference + " is not an APFS Container");
    refuseReadOnly(*machine.storeDisk(*container));
    std::string containerName = diskName(container->number);
    Volume& volume = machine.addVolume(*container, name, encrypted ? &*call.input : nullptr, hint);
    std::string device = Machine::device(*container, volume);
    std::cout << "Will export new APFS Volume \"" << name << "\" from APFS Container Reference " << containerName << "\n"
              << "Preparing to add APFS Volume to APFS Container " << containerName << "\n"
              << "Creating APFS Volume\n"
              << "Created new APFS Volume " << device << "\n"
              << "Mounting APFS Volume\n"
              << "Setting volume permissions\n"
              << "Disk from APFS operation: " << device << "\n"
              << "Finished APFS operation\n";
}

void unlockVolume(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 4 || arguments[3] != "-stdinpassphrase")
        throw ToolError("macsim: unlockVolume is provided as: apfs unlockVolume DEVICE -stdinpassphrase");
    Target target = volumeTarget(machine, arguments[2], "unlockVolume");
    std::string device = Machine::device(*target.container, *target.volume);
    if (!target.volume->encrypted)
        throw ToolError(device + " is not an encrypted APFS Volume");
    if (!target.volume->locked)
        throw ToolError(device + " is already unlocked and is mounted at " + target.volume->mountPoint);
    std::cout << "Unlocking any cryptographic user on APFS Volume " << device << "\n";
    machine.unlock(*target.container, *target.volume, *call.input);
    std::cout << "Unlocked and mounted APFS Volume\n";
}

void lockVolume(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 3)
        throw ToolError("Usage:  diskutil apfs lockVolume VolumeDevice");
    Target target = volumeTarget(machine, arguments[2], "lockVolume");
    std::string device = Machine::device(*target.container, *target.volume);
    if (!target.volume->encrypted)
        throw ToolError(device + " is not an encrypted APFS Volume");
    if (target.volume->locked)
        throw ToolError(device + " is already locked");
    if (target.volume->mounted)
        std::cout << "Unmounting Volume " << target.volume->name << "\n";
    machine.lock(*target.container, *target.volume);
    std::cout << "Locking any cryptographic users on APFS Volume " << device << "\n"
              << "Locked APFS Volume " << device << "\n";
}

void unmount(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 2)
        throw ToolError("Usage:  diskutil unmount [force] MountPoint|DiskIdentifier|DeviceNode");
    auto target = machine.find(arguments[1]);
    if (!target)
        notFound(arguments[1]);
    if (target->kind != Target::Kind::Volume || !target->volume->mounted)
        throw ToolError(arguments[1]
            + " was already unmounted or it has a partitioning scheme so use \"diskutil unmountDisk\" instead");
    std::string device = Machine::device(*target->container, *target->volume);
    if (target->volume->system)
        throw ToolError("Volume " + target->volume->name + " on " + device + " failed to unmount: dissented by PID 0 (kernel_task)");
    machine.unmount(*target->container, *target->volume);
    std::cout << "Volume " << target->volume->name << " on " << device << " unmounted\n";
}

// Unmounts every volume of the physical disk behind the target and detaches
// it, as pulling the drive out after Finder's Eject would. A volume that is in
// use refuses the whole eject before anything changes.
void eject(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 2)
        throw ToolError("Usage:  diskutil eject MountPoint|DiskIdentifier|DeviceNode");
    auto target = machine.find(arguments[1]);
    if (!target)
        notFound(arguments[1]);
    Disk& disk = *target->disk;
    std::string name = diskName(disk.number);
    std::string refusal = "Unmount of " + name + " failed: at least one volume could not be unmounted";
    if (disk.internal)
        throw ToolError(refusal + ": dissented by PID 0 (kernel_task)");
    if (!disk.image.empty())
        throw ToolError("macsim: an attached disk image is ejected with hdiutil detach");
    for (Container& container : machine.state().containers) {
        if (machine.storeDisk(container) != &disk)
            continue;
        for (const Volume& volume : container.volumes) {
            if (!volume.mounted || volume.system)
                continue;
            // The second line names the volume in use, which need not be the one asked for.
            if (auto user = processUsing(volume.mountPoint)) {
                std::string dissent = "dissented by PID " + std::to_string(user->pid) + " (" + user->executable + ")";
                throw ToolError(refusal + ": " + dissent + "\nVolume " + volume.name + " on "
                    + Machine::device(container, volume) + " failed to unmount: " + dissent);
            }
        }
    }
    machine.detach(disk);
    std::cout << "Disk " << name << " ejected\n";
}

void mount(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    bool browsable = true;
    std::string device;
    if (arguments.size() == 2) {
        device = arguments[1];
    } else if (arguments.size() == 3 && arguments[1] == "nobrowse") {
        browsable = false;
        device = arguments[2];
    } else {
        throw ToolError("Usage:  diskutil mount [readOnly|nobrowse] DiskIdentifier|DeviceNode");
    }
    auto target = machine.find(device);
    if (!target)
        notFound(device);
    if (target->kind != Target::Kind::Volume || target->volume->system)
        throw ToolError("Volume on " + device + " failed to mount");
    Volume& volume = *target->volume;
    std::string identifier = Machine::device(*target->container, volume);
    if (volume.locked)
        throw ToolError("Volume on " + identifier
            + " failed to mount; this is a locked APFS volume: use \"diskutil apfs unlockVolume\"");
    if (volume.mounted)
        throw ToolError("Volume " + volume.name + " on " + identifier + " is already mounted at " + volume.mountPoint);
    machine.requireMountApproval(*target->container, volume, "Volume on " + identifier + " failed to mount");
    machine.mount(volume, browsable);
    std::cout << "Volume " << volume.name << " on " << identifier << " mounted\n";
}

void rename(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 3)
        throw ToolError("Usage:  diskutil rename MountPoint|DiskIdentifier|DeviceNode NewName");
    const std::string& name = arguments[2];
    if (name.empty())
        throw ToolError("A volume name is required");
    Target target = volumeTarget(machine, arguments[1], "rename");
    std::string identifier = Machine::device(*target.container, *target.volume);
    if (target.volume->system)
        throw ToolError("Volume on " + identifier + " failed to rename: dissented by PID 0 (kernel_task)");
    machine.rename(*target.volume, name);
    std::cout << "Volume on " << identifier << " renamed to " << name << "\n";
}

}

void runDiskutil(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    const std::string verb = arguments.empty() ? std::string() : arguments[0];
    if (verb == "info") {
        requirePlist(arguments, 1);
        if (arguments.size() != 3)
            throw ToolError("Usage:  diskutil info [-plist] MountPoint|DiskIdentifier|DeviceNode");
        auto target = machine.find(arguments[2]);
        if (!target)
            notFound(arguments[2]);
        std::cout << toXml(describe(machine, *target));
    } else if (verb == "list") {
        requirePlist(arguments, 1);
        list(machine, std::vector<std::string>(arguments.begin() + 2, arguments.end()));
    } else if (verb == "eraseDisk") {
        eraseDisk(machine, arguments);
    } else if (verb == "unmount") {
        unmount(call, machine);
    } else if (verb == "mount") {
        mount(call, machine);
    } else if (verb == "eject") {
        eject(call, machine);
    } else if (verb == "rename") {
        rename(call, machine);
    } else if (verb == "apfs" && arguments.size() >= 2) {
        const std::string& apfsVerb = arguments[1];
        if (apfsVerb == "list") {
            requirePlist(arguments, 2);
            apfsList(machine);
        } else if (apfsVerb == "addVolume") {
            addVolume(call, machine);
        } else if (apfsVerb == "unlockVolume") {
            unlockVolume(call, machine);
        } else if (apfsVerb == "lockVolume") {
            lockVolume(call, machine);
        } else {
            throw ToolError("diskutil apfs: did not recognize APFS verb \"" + apfsVerb + "\"; type \"diskutil apfs\" for a list");
        }
    } else {
        throw ToolError("diskutil: did not recognize verb \"" + verb + "\"; type \"diskutil\" for a list");
    }
}

void setDiskProperty(Disk& disk, const std::string& key, const std::string& value)
{
    if (key == "MediaName")
        disk.media = value;
    else if (key == "TotalSize")
        disk.size = parseSize(value);
    else if (key == "BusProtocol")
        disk.bus = value;
    else if (key == "DeviceTreePath")
        disk.tree = value;
    else
        throw ToolError("macsim: a disk's " + key + " cannot be set (MediaName, TotalSize, BusProtocol, DeviceTreePath)");
}

}
