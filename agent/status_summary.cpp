#include "agent/status_summary.h"

#include "common/ascii_case.h"

namespace ferrolatch {

std::string idleStatus(bool promptSuppressionAvailable)
{
    return std::string(promptSuppressionAvailable ? waitingStatus : fallbackStatus);
}

StatusSummary summarizeVolumes(const std::vector<APFSVolume>& volumes, const std::set<std::string>& enrolled,
                               bool promptSuppressionAvailable, const MountPointLookup& mountPointOf)
{
    std::optional<std::string> lockedName;
    for (const APFSVolume& volume : volumes) {
        if (!enrolled.contains(asciiUppercased(volume.uuid)))
            continue;
        if (volume.locked) {
            if (!lockedName)
                lockedName = volume.name;
            continue;
        }
        if (mountPointOf(volume))
            return {TrayState::Open, "Mounted " + volume.name};
    }
    if (lockedName)
        return {TrayState::Closed, "Connected " + *lockedName + " (locked)"};
    return {TrayState::Closed, idleStatus(promptSuppressionAvailable)};
}

}
