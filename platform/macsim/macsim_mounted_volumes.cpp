#include "platform/macsim/macsim_mounted_volumes.h"

#include "common/virtual_mac_location.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace ferrolatch {

using nlohmann::json;

namespace {

// The whole disk behind a container's store ("disk4s2" -> disk 4).
const json* storeDisk(const json& state, const std::string& store)
{
    if (store.rfind("disk", 0) != 0)
        return nullptr;
    int number = 0;
    std::size_t at = 4;
    if (at >= store.size() || store[at] < '0' || store[at] > '9')
        return nullptr;
    for (; at < store.size() && store[at] >= '0' && store[at] <= '9'; ++at)
        number = number * 10 + (store[at] - '0');
    for (const json& disk : state.at("disks")) {
        if (disk.at("number").get<int>() == number)
            return &disk;
    }
    return nullptr;
}

}

std::vector<MountedVolumeInfo> mountedVolumesInState(std::string_view stateText, MountedVolumes::Hidden hidden)
{
    std::vector<MountedVolumeInfo> root;
    std::vector<MountedVolumeInfo> others;
    try {
        json state = json::parse(stateText);
        for (const json& container : state.at("containers")) {
            const json* disk = storeDisk(state, container.at("store").get<std::string>());
            if (!disk || !disk->at("attached").get<bool>())
                continue;
            bool internal = disk->at("internal").get<bool>();
            for (const json& volume : container.at("volumes")) {
                if (!volume.at("mounted").get<bool>())
                    continue;
                bool browsable = volume.at("browsable").get<bool>();
                if (!browsable && hidden == MountedVolumes::Hidden::Skipped)
                    continue;
                MountedVolumeInfo info {volume.at("mountPoint").get<std::string>(), volume.at("name").get<std::string>(),
                                        volume.at("uuid").get<std::string>(), internal, browsable, !internal};
                (info.path == "/" ? root : others).push_back(std::move(info));
            }
        }
    } catch (const json::exception&) {
        return {};
    }
    root.insert(root.end(), others.begin(), others.end());
    return root;
}

std::vector<MountedVolumeInfo> MacsimMountedVolumes::mountedVolumes(Hidden hidden)
{
    std::ifstream stream(virtual_mac::stateFile(m_sysroot));
    if (!stream)
        return {};
    std::stringstream text;
    text << stream.rdbuf();
    return mountedVolumesInState(text.str(), hidden);
}

}
