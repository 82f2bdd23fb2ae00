#pragma once

#include "platform/mounted_volumes.h"

#include <string>
#include <string_view>

namespace ferrolatch {

// The virtual Mac's mounted-volume listing, read from the machine's state
// file (replaced whole by rename, so read without its lock): the root volume
// first, then every mounted volume of an attached disk in the machine's order.
class MacsimMountedVolumes final : public MountedVolumes {
public:
    explicit MacsimMountedVolumes(std::string sysroot) : m_sysroot(std::move(sysroot)) {}
    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override;

private:
    std::string m_sysroot;
};

// The listing a state file's text gives; empty when the text is unreadable.
std::vector<MountedVolumeInfo> mountedVolumesInState(std::string_view stateText, MountedVolumes::Hidden hidden);

}
