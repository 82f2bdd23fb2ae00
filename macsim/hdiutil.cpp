#include "common/ascii_case.h"
#include "macsim/arbitration.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/plist_out.h"
#include "macsim/processes.h"
#include "macsim/standin.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <iostream>
#include <unistd.h>

namespace macsim {

namespace {

// A single-file image is this magic, the header's length (8 decimal digits and
// a line feed), the header as JSON, then the sealed volume. A sparse bundle
// keeps the header in its "token" file and the sealed volume cut into bands.
const std::string imageMagic = "MSIMUDIF\n";
constexpr std::uint64_t bandSize = 8 * 1024 * 1024;

struct ImageHeader {
    std::string volumeName;
    std::string volumeUUID;
    std::uint64_t size = 0;
    Keybag keybag;
};

std::string encodeHeader(const ImageHeader& header)
{
    nlohmann::json j = {{"format", "macsim-image-1"}, {"volumeName", header.volumeName},
        {"volumeUUID", header.volumeUUID}, {"size", header.size},
        {"keybag",
            {{"salt", header.keybag.salt}, {"iterations", header.keybag.iterations}, {"nonce", header.keybag.nonce},
                {"wrapped", header.keybag.wrapped}}}};
    return j.dump();
}

ImageHeader decodeHeader(const std::string& text)
{
    try {
        auto j = nlohmann::json::parse(text);
        if (j.at("format") != "macsim-image-1")
            throw ToolError("hdiutil: attach failed - image not recognized");
        ImageHeader header;
        j.at("volumeName").get_to(header.volumeName);
        j.at("volumeUUID").get_to(header.volumeUUID);
        j.at("size").get_to(header.size);
        const auto& k = j.at("keybag");
        k.at("salt").get_to(header.keybag.salt);
        k.at("iterations").get_to(header.keybag.iterations);
        k.at("nonce").get_to(header.keybag.nonce);
        k.at("wrapped").get_to(header.keybag.wrapped);
        return header;
    } catch (const nlohmann::json::exception&) {
        throw ToolError("hdiutil: attach failed - image not recognized");
    }
}

std::string imageContext(const ImageHeader& header)
{
    return "image " + header.volumeUUID;
}

std::string framedHeader(const ImageHeader& header)
{
    std::string json = encodeHeader(header);
    char length[16];
    std::snprintf(length, sizeof length, "%08zu\n", json.size());
    return imageMagic + length + json;
}

// Reads the header of either form; for a single file also where the sealed part starts.
ImageHeader readHeader(const std::string& path, bool bundle, std::uint64_t& sealedOffset)
{
    if (bundle) {
        sealedOffset = 0;
        return decodeHeader(readFile(path + "/token"));
    }
    std::string prefix(imageMagic.size() + 9, '\0');
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(std::string("hdiutil: attach failed - ") + std::strerror(errno));
    ssize_t count = ::read(fd, prefix.data(), prefix.size());
    if (count != static_cast<ssize_t>(prefix.size()) || prefix.compare(0, imageMagic.size(), imageMagic) != 0) {
        ::close(fd);
        throw ToolError("hdiutil: attach failed - image not recognized");
    }
    std::size_t length = std::strtoul(prefix.c_str() + imageMagic.size(), nullptr, 10);
    std::string json(std::min<std::size_t>(length, 1 << 20), '\0');
    count = ::read(fd, json.data(), json.size());
    ::close(fd);
    if (count != static_cast<ssize_t>(json.size()))
        throw ToolError("hdiutil: attach failed - image not recognized");
    sealedOffset = prefix.size() + json.size();
    return decodeHeader(json);
}

std::string bundleInfoPlist(std::uint64_t size)
{
    return toXml(Plist::Dictionary {
        {"CFBundleInfoDictionaryVersion", "6.0"},
        {"band-size", bandSize},
        {"bundle-backingstore-version", 2},
        {"diskimage-bundle-type", "com.apple.diskimage.sparsebundle"},
        {"size", size},
    });
}

// Cuts a sealed file into numbered bands (hexadecimal names, as a Mac names them).
void writeBands(const std::string& sealed, const std::string& bandsDirectory)
{
    makeDirectories(bandsDirectory);
    std::string bytes = readFile(sealed);
    std::uint64_t index = 0;
    for (std::size_t offset = 0; offset < bytes.size(); offset += bandSize, ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
        writeFileAtomically(bandsDirectory + "/" + name, bytes.substr(offset, bandSize));
    }
}

void joinBands(const std::string& bandsDirectory, const std::string& output)
{
    std::string bytes;
    for (std::uint64_t index = 0;; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(index));
        std::string band = bandsDirectory + "/" + name;
        if (!pathExists(band))
            break;
        bytes += readFile(band);
    }
    writeFileAtomically(output, bytes, 0600);
}

// Writes the volume tree into the image, replacing what was there only once
// the new contents are complete.
void storeContents(const std::string& path, bool bundle, const ImageHeader& header, const SecretBytes& key,
    const std::string& tree, const std::string& scratch)
{
    if (!bundle) {
        std::string temporary = path + ".macsim-tmp";
        sealTree(tree, key, imageContext(header), temporary, framedHeader(header));
        if (std::rename(temporary.c_str(), path.c_str()) != 0)
            throw ToolError(errnoText(path, errno));
        return;
    }
    std::string sealed = scratch + "/sealed";
    sealTree(tree, key, imageContext(header), sealed);
    std::string fresh = path + "/bands.new";
    std::string old = path + "/bands.old";
    removeTree(fresh);
    removeTree(old);
    writeBands(sealed, fresh);
    ::remove(sealed.c_str());
    if (pathExists(path + "/bands") && std::rename((path + "/bands").c_str(), old.c_str()) != 0)
        throw ToolError(errnoText(path, errno));
    if (std::rename(fresh.c_str(), (path + "/bands").c_str()) != 0)
        throw ToolError(errnoText(path, errno));
    removeTree(old);
}

void create(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    std::string size;
    std::string filesystem;
    std::string volumeName = "untitled";
    std::string encryption;
    std::string type;
    bool standardInput = false;
    std::string path;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        auto value = [&]() -> const std::string& {
            if (index + 1 >= arguments.size())
                throw ToolError("hdiutil: create: " + word + " requires an argument");
            return arguments[++index];
        };
        if (word == "-size")
            size = value();
        else if (word == "-fs")
            filesystem = value();
        else if (word == "-volname")
            volumeName = value();
        else if (word == "-encryption")
            encryption = value();
        else if (word == "-type")
            type = value();
        else if (word == "-stdinpass")
            standardInput = true;
        else if (!word.empty() && word[0] == '-')
            throw ToolError("hdiutil: create: option not provided: " + word);
        else if (path.empty())
            path = word;
        else
            throw ToolError("hdiutil: create: only one image path may be given");
    }
    if (path.empty())
        throw ToolError("hdiutil: create: an image path is required");
    if (size.empty())
        throw ToolError("hdiutil: create: -size is required");
    std::uint64_t bytes = 0;
    try {
        bytes = parseSize(size);
    } catch (const ToolError&) {
        throw ToolError("hdiutil: create failed - Invalid argument");
    }
    if (bytes < 1024 * 1024)
        throw ToolError("hdiutil: create failed - Invalid argument");
    if (filesystem != "APFS")
        throw ToolError("hdiutil: create: macsim provides APFS images only");
    if (encryption != "AES-256" && encryption != "AES-128")
        throw ToolError("hdiutil: create: macsim provides encrypted images only");
    if (!standardInput || !call.input || call.input->empty())
        throw ToolError("hdiutil: create failed - Authentication error");
    bool bundle = type == "SPARSEBUNDLE";
    if (!type.empty() && !bundle && type != "UDIF")
        throw ToolError("hdiutil: create: image type not provided: " + type);
    // The Mac appends the format's extension when the name lacks it.
    const std::string extension = bundle ? ".sparsebundle" : ".dmg";
    if (!ferrolatch::endsWithIgnoringASCIICase(path, extension))
        path += extension;
    if (pathExists(path))
        throw ToolError("hdiutil: create failed - File exists");
    auto slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!isDirectory(parent))
        throw ToolError("hdiutil: create failed - No such file or directory");

    ImageHeader header;
    header.volumeName = volumeName;
    header.volumeUUID = randomUUID();
    header.size = bytes;
    SecretBytes key = newVolumeKey();
    header.keybag = wrapKey(key, *call.input, imageContext(header));

    std::string scratch = machine.sysroot().volumeStore("create-" + header.volumeUUID);
    makeDirectories(scratch + "/root", 0700);
    ::chmod((scratch + "/root").c_str(), 0755);
    try {
        if (bundle) {
            makeDirectories(path);
            std::string info = bundleInfoPlist(bytes);
            writeFileAtomically(path + "/Info.plist", info);
            writeFileAtomically(path + "/Info.bckup", info);
            writeFileAtomically(path + "/token", encodeHeader(header));
        }
        storeContents(path, bundle, header, key, scratch + "/root", scratch);
    } catch (...) {
        removeTree(scratch);
        throw;
    }
    removeTree(scratch);
    std::cout << "created: " << path << "\n";
}

// The image's volume is attached already, from this image or from a copy of
// it (which carries the same volume, whose store and key the two would share).
bool volumeAttached(Machine& machine, const std::string& uuid)
{
    for (const Container& container : machine.state().containers) {
        for (const Volume& volume : container.volumes) {
            if (volume.uuid == uuid && machine.visible(container))
                return true;
        }
    }
    return false;
}

bool sameFile(const std::string& first, const std::string& second)
{
    struct stat a {};
    struct stat b {};
    if (::stat(first.c_str(), &a) != 0 || ::stat(second.c_str(), &b) != 0)
        return first == second;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The container and volume of this very image when it is attached.
std::optional<std::pair<Container*, Volume*>> existingAttachment(Machine& machine, const std::string& image)
{
    for (Container& container : machine.state().containers) {
        Disk* disk = machine.storeDisk(container);
        if (!disk || disk->image.empty() || !machine.visible(container) || container.volumes.empty())
            continue;
        if (sameFile(disk->image, image))
            return std::pair {&container, &container.volumes.front()};
    }
    return std::nullopt;
}

// The image as a Mac shows it: a virtual whole disk with one APFS partition,
// the container on it and the image's volume, not yet unsealed.
std::pair<Container*, Volume*> addImageDisk(Machine& machine, const std::string& image, const ImageHeader& header)
{
    State& state = machine.state();
    Disk disk;
    disk.number = machine.freeNumber();
    disk.media = "Apple Disk Image";
    disk.size = header.size;
    disk.bus = "Disk Image";
    disk.tree = "IODeviceTree:/arm-io/disk-images/" + diskName(disk.number);
    disk.isVirtual = true;
    disk.scheme = "GUID_partition_scheme";
    disk.partitions = {{1, "Apple_APFS", "", header.size > 40960 ? header.size - 40960 : header.size, randomUUID()}};
    disk.image = image;
    state.disks.push_back(disk);
    Container container;
    container.number = machine.freeNumber();
    container.uuid = randomUUID();
    container.store = diskName(disk.number, 1);
    Volume volume;
    volume.slice = 1;
    volume.uuid = header.volumeUUID;
    volume.name = header.volumeName;
    container.volumes.push_back(volume);
    state.containers.push_back(container);
    Container& added = state.containers.back();
    return {&added, &added.volumes.back()};
}

// The entities a Mac reports for an APFS image: the partition scheme, its
// APFS partition, the container disk synthesized on it and the volume.
void printAttachment(const Disk& disk, const Container& container, const Volume& volume, bool plist)
{
    const std::string apfsPartition = "7C3457EF-0000-11AA-AA11-00306543ECAC";
    const std::string apfsContainer = "EF57347C-0000-11AA-AA11-00306543ECAC";
    const std::string apfsVolume = "41504653-0000-11AA-AA11-00306543ECAC";
    std::string scheme = "/dev/" + diskName(disk.number);
    std::string partition = "/dev/" + diskName(disk.number, 1);
    std::string containerDisk = "/dev/" + diskName(container.number);
    std::string device = "/dev/" + Machine::device(container, volume);
    if (plist) {
        Plist::Dictionary volumeEntity {{"content-hint", apfsVolume}, {"dev-entry", device},
            {"potentially-mountable", true}, {"unmapped-content-hint", apfsVolume}, {"volume-kind", "apfs"}};
        if (volume.mounted)
            volumeEntity.emplace("mount-point", volume.mountPoint);
        std::cout << toXml(Plist::Dictionary {{"system-entities",
            Plist::Array {
                Plist::Dictionary {{"content-hint", "GUID_partition_scheme"}, {"dev-entry", scheme},
                    {"potentially-mountable", false}, {"unmapped-content-hint", "GUID_partition_scheme"}},
                Plist::Dictionary {{"content-hint", "Apple_APFS"}, {"dev-entry", partition},
                    {"potentially-mountable", false}, {"unmapped-content-hint", apfsPartition}},
                Plist::Dictionary {{"content-hint", apfsContainer}, {"dev-entry", containerDisk},
                    {"potentially-mountable", false}, {"unmapped-content-hint", apfsContainer}},
                volumeEntity,
            }}});
    } else {
        // Columns as hdiutil pads them: the hint is cut to 31 characters.
        auto line = [](const std::string& entry, const std::string& hint, const std::string& mountPoint) {
            std::string padded = entry;
            padded.resize(std::max<std::size_t>(padded.size(), 20), ' ');
            std::string cut = hint.substr(0, 31);
            cut.resize(31, ' ');
            return padded + "\t" + cut + "\t" + mountPoint + "\n";
        };
        std::cout << line(scheme, "GUID_partition_scheme", "") << line(partition, "Apple_APFS", "")
                  << line(containerDisk, apfsContainer, "")
                  << line(device, apfsVolume, volume.mounted ? volume.mountPoint : "");
    }
}

void attach(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    bool plist = false;
    bool browsable = true;
    bool standardInput = false;
    std::string path;
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (word == "-plist")
            plist = true;
        else if (word == "-nobrowse")
            browsable = false;
        else if (word == "-stdinpass")
            standardInput = true;
        else if (!word.empty() && word[0] == '-')
            throw ToolError("hdiutil: attach: option not provided: " + word);
        else
            path = word;
    }
    if (path.empty())
        throw ToolError("hdiutil: attach: an image path is required");
    std::string canonical = canonicalPath(path);
    if (canonical.empty())
        throw ToolError("hdiutil: attach failed - No such file or directory");
    bool bundle = isDirectory(canonical);
    std::uint64_t offset = 0;
    ImageHeader header = readHeader(canonical, bundle, offset);
    // As on a Mac, attaching an attached image gives its attachment again,
    // mounted if it had been unmounted.
    if (auto existing = existingAttachment(machine, canonical)) {
        auto [container, volume] = *existing;
        if (!volume->mounted)
            machine.mountIfApproved(*container, *volume, browsable);
        printAttachment(*machine.storeDisk(*container), *container, *volume, plist);
        return;
    }
    if (volumeAttached(machine, header.volumeUUID))
        throw ToolError("hdiutil: attach failed - Resource temporarily unavailable");
    if (!standardInput || !call.input)
        throw ToolError("hdiutil: attach failed - Authentication error");
    auto key = unwrapKey(header.keybag, *call.input, imageContext(header));
    if (!key)
        throw ToolError("hdiutil: attach failed - Authentication error");

    auto [container, volume] = addImageDisk(machine, canonical, header);
    std::string store = machine.sysroot().volumeStore(volume->uuid);
    removeTree(store);
    makeDirectories(store, 0700);
    std::string sealed = canonical;
    if (bundle) {
        sealed = store + "/joined";
        joinBands(canonical + "/bands", sealed);
    }
    try {
        openTree(sealed, *key, imageContext(header), machine.dataDirectory(*volume), offset);
    } catch (const ToolError&) {
        removeTree(store);
        throw ToolError("hdiutil: attach failed - image data is corrupt");
    }
    if (bundle)
        ::remove(sealed.c_str());
    writeKey(machine.sysroot(), volume->uuid, *key);
    // A new disk: the sessions see it first, and a dissenter keeps it unmounted.
    peekSessions(machine.sysroot(), {Machine::device(*container, *volume), volume->uuid});
    machine.mountIfApproved(*container, *volume, browsable);
    printAttachment(*machine.storeDisk(*container), *container, *volume, plist);
}

void detach(Invocation& call, Machine& machine)
{
    const auto& arguments = call.arguments;
    if (arguments.size() != 2)
        throw ToolError("hdiutil: detach: exactly one device is required");
    auto target = machine.find(arguments[1]);
    if (!target)
        throw ToolError("hdiutil: detach failed - No such file or directory");
    Disk& disk = *target->disk;
    std::string name = diskName(disk.number);
    if (disk.image.empty()) {
        machine.detach(disk);
        std::cout << "\"" << name << "\" ejected.\n";
        return;
    }
    State& state = machine.state();
    auto container = std::find_if(state.containers.begin(), state.containers.end(),
        [&](const Container& candidate) { return machine.storeDisk(candidate) == &disk; });
    if (container != state.containers.end()) {
        for (Volume& volume : container->volumes) {
            if (volume.mounted && processUsing(volume.mountPoint))
                throw ToolError("hdiutil: couldn't unmount \"" + name + "\" - Resource busy");
        }
        bool bundle = isDirectory(disk.image);
        for (Volume& volume : container->volumes) {
            std::uint64_t offset = 0;
            ImageHeader header = readHeader(disk.image, bundle, offset);
            SecretBytes key = readKey(machine.sysroot(), volume.uuid);
            std::string tree = volume.mounted ? volume.mountPoint : machine.dataDirectory(volume);
            std::string store = machine.sysroot().volumeStore(volume.uuid);
            storeContents(disk.image, bundle, header, key, tree, store);
            removeTree(tree);
            if (volume.mounted)
                postVolumeChange(machine.sysroot(), VolumeChange::Unmounted, volume.mountPoint);
            dropClaim(machine.sysroot(), Machine::device(*container, volume));
            removeTree(store);
            ::remove(machine.sysroot().keyFile(volume.uuid).c_str());
        }
        state.containers.erase(container);
    }
    int number = disk.number;
    state.disks.erase(std::remove_if(state.disks.begin(), state.disks.end(),
                          [&](const Disk& candidate) { return candidate.number == number; }),
        state.disks.end());
    std::cout << "\"" << name << "\" ejected.\n";
}

}

void runHdiutil(Invocation& call, Machine& machine)
{
    const std::string verb = call.arguments.empty() ? std::string() : call.arguments[0];
    if (verb == "create")
        create(call, machine);
    else if (verb == "attach")
        attach(call, machine);
    else if (verb == "detach" || verb == "eject")
        detach(call, machine);
    else
        throw ToolError("hdiutil: unknown verb \"" + verb + "\"");
}

}
