#include "finder/disk_info_volume.h"

#include "common/path_text.h"
#include "crypto/volume_uuid.h"

namespace ferrolatch::FerrolatchFinderState {

std::optional<MountedVolume> mountedVolumeFromDiskInfo(const PlistValue::Dictionary& info)
{
    if (plistBoolean(info, "Internal") != false || plistBoolean(info, "FileVault") != true)
        return std::nullopt;
    const std::string* mountPoint = plistString(info, "MountPoint");
    if (!mountPoint || mountPoint->empty() || mountPoint->front() != '/' || *mountPoint == "/")
        return std::nullopt;
    const std::string* uuidText = plistString(info, "VolumeUUID");
    std::optional<std::string> uuid = uuidText ? canonicalVolumeUUID(*uuidText) : std::nullopt;
    if (!uuid)
        return std::nullopt;
    return MountedVolume {.url = lexicallyNormalizedPath(*mountPoint), .uuid = std::move(uuid), .isInternal = false};
}

}
