#include "agent/status_snapshot.h"

#include "crypto/drive_registry.h"
#include "crypto/volume_uuid.h"

#include <exception>

namespace ferrolatch {

std::vector<APFSVolume> StatusSnapshot::volumes() const
{
    std::vector<APFSVolume> all;
    for (const APFSContainer& container : containers)
        all.insert(all.end(), container.volumes.begin(), container.volumes.end());
    return all;
}

std::optional<APFSVolume> StatusSnapshot::volume(const std::string& uuid) const
{
    std::optional<std::string> wanted = canonicalVolumeUUID(uuid);
    if (!wanted)
        return std::nullopt;
    for (const APFSContainer& container : containers)
        for (const APFSVolume& candidate : container.volumes)
            if (canonicalVolumeUUID(candidate.uuid) == wanted)
                return candidate;
    return std::nullopt;
}

std::vector<FerrolatchFinderState::MountedVolume> StatusSnapshot::mountedEnrolled() const
{
    std::vector<FerrolatchFinderState::MountedVolume> mounted;
    for (const FerrolatchEject::DescribedVolume& described : unlockedEnrolled)
        if (described.description.mounted)
            mounted.push_back(*described.description.mounted);
    return mounted;
}

StatusSummary StatusSnapshot::summary() const
{
    return summarizeVolumes(volumes(), enrolled, promptSuppressionAvailable,
                            [this](const APFSVolume& volume) -> std::optional<std::string> {
                                for (const FerrolatchEject::DescribedVolume& described : unlockedEnrolled)
                                    if (described.volume == volume)
                                        return described.description.mountPoint;
                                return std::nullopt;
                            });
}

StatusSnapshot takeStatusSnapshot(const SnapshotServices& services)
{
    StatusSnapshot snapshot;
    snapshot.enrolled = registeredVolumeUUIDs(services.files, services.paths);
    try {
        snapshot.containers = listAPFSContainers(services.tools);
    } catch (const std::exception&) {
        snapshot.containers.clear();
    }
    snapshot.unlockedEnrolled =
        FerrolatchEject::describeEnrolledVolumes(services.tools, snapshot.enrolled, snapshot.volumes());
    try {
        snapshot.mountedVolumes = services.listing.mountedVolumes(MountedVolumes::Hidden::Listed);
    } catch (const std::exception&) {
        snapshot.mountedVolumes.clear();
    }
    return snapshot;
}

}
