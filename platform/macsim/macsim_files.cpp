#include "platform/macsim/macsim_files.h"

#include "common/virtual_mac_location.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <filesystem>
#include <system_error>

namespace ferrolatch {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

bool inside(const std::string& path, const std::string& directory)
{
    return !directory.empty()
        && (path == directory || (path.starts_with(directory) && path[directory.size()] == '/'));
}

// Bytes held by the regular files and links below a folder; links are not followed.
std::uint64_t bytesHeld(const std::string& directory)
{
    std::uint64_t total = 0;
    std::error_code error;
    fs::recursive_directory_iterator walk(directory, fs::directory_options::skip_permission_denied, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        std::error_code ignored;
        fs::file_status status = walk->symlink_status(ignored);
        if (fs::is_regular_file(status)) {
            std::uintmax_t size = walk->file_size(ignored);
            if (!ignored)
                total += size;
        }
    }
    return total;
}

// "disk4s2" -> {4, 2}; a whole disk "disk5" -> {5, 0}.
std::optional<std::pair<int, int>> parseStore(std::string_view store)
{
    if (!store.starts_with("disk"))
        return std::nullopt;
    store.remove_prefix(4);
    int disk = 0;
    auto [end, failure] = std::from_chars(store.data(), store.data() + store.size(), disk);
    if (failure != std::errc() || end == store.data())
        return std::nullopt;
    std::string_view rest(end, static_cast<std::size_t>(store.data() + store.size() - end));
    if (rest.empty())
        return std::pair {disk, 0};
    int slice = 0;
    if (rest.front() != 's')
        return std::nullopt;
    auto [sliceEnd, sliceFailure] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), slice);
    if (sliceFailure != std::errc() || sliceEnd != rest.data() + rest.size())
        return std::nullopt;
    return std::pair {disk, slice};
}

std::optional<std::uint64_t> storeSize(const json& state, std::string_view store)
{
    std::optional<std::pair<int, int>> name = parseStore(store);
    if (!name)
        return std::nullopt;
    for (const json& disk : state.at("disks")) {
        if (disk.at("number").get<int>() != name->first)
            continue;
        if (name->second == 0)
            return disk.at("size").get<std::uint64_t>();
        for (const json& partition : disk.at("partitions"))
            if (partition.at("slice").get<int>() == name->second)
                return partition.at("size").get<std::uint64_t>();
    }
    return std::nullopt;
}

}

MacsimFiles::MacsimFiles(Files& host, const std::string& sysroot) : m_host(host)
{
    // Mount points are recorded canonical; so must the root be they are compared with.
    std::error_code error;
    if (!sysroot.empty())
        m_sysroot = fs::weakly_canonical(sysroot, error).string();
    if (error)
        m_sysroot = sysroot;
}

std::optional<std::uint64_t> MacsimFiles::freeSpace(const std::string& path)
{
    if (m_sysroot.empty() || !inside(path, m_sysroot + "/Volumes") || !m_host.exists(virtual_mac::stateFile(m_sysroot)))
        return m_host.freeSpace(path);

    // The state file is replaced by rename, so reading it whole needs no lock.
    json state;
    try {
        state = json::parse(m_host.readFile(virtual_mac::stateFile(m_sysroot)));
        for (const json& container : state.at("containers")) {
            for (const json& volume : container.at("volumes")) {
                if (!volume.at("mounted").get<bool>() || !inside(path, volume.at("mountPoint").get<std::string>()))
                    continue;
                if (volume.contains("freeSpace"))
                    return volume.at("freeSpace").get<std::uint64_t>();
                std::optional<std::uint64_t> size = storeSize(state, container.at("store").get<std::string>());
                if (!size)
                    return std::nullopt;
                // APFS volumes share their container's space.
                std::uint64_t used = 0;
                for (const json& member : container.at("volumes")) {
                    if (member.at("system").get<bool>())
                        continue;
                    used += member.at("mounted").get<bool>()
                        ? bytesHeld(member.at("mountPoint").get<std::string>())
                        : bytesHeld(m_sysroot + "/private/var/db/macsim/volumes/" + member.at("uuid").get<std::string>());
                }
                return used < *size ? *size - used : 0;
            }
        }
    } catch (const json::exception& error) {
        throw PlatformError(posixErrorDomain, EIO, "could not read the free space of " + path + ": " + error.what());
    }
    return m_host.freeSpace(path);
}

}
