#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ferrolatch {

// One mounted volume and the resource values the system gives for it; a value
// the system does not report is absent.
struct MountedVolumeInfo {
    std::string path; // the mount location, absolute
    std::optional<std::string> name = std::nullopt;
    std::optional<std::string> uuid = std::nullopt; // as the system reports it, not normalised
    std::optional<bool> isInternal = std::nullopt;
    std::optional<bool> isBrowsable = std::nullopt;
    std::optional<bool> isRemovable = std::nullopt;
};

// The mounted-volume listing (NSFileManager's).
class MountedVolumes {
public:
    enum class Hidden { Listed, Skipped };

    virtual ~MountedVolumes() = default;

    // The mounted volumes in the system's order; empty when the list is
    // unavailable. Hidden (non-browsable) volumes are listed or skipped as asked.
    virtual std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) = 0;
};

}
