#include "agent/drive_scanner.h"

#include "agent/drive_discovery.h"
#include "agent/own_app_bundle.h"
#include "common/ascii_case.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/path_text.h"
#include "common/percent_encoding.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "crypto/volume_uuid.h"
#include "disk/apfs_inventory.h"

namespace ferrolatch {

namespace {

std::string directoryURL(const std::string& path)
{
    std::string url = "file://" + percentEncoded(path, "/");
    if (url.back() != '/')
        url += '/';
    return url;
}

// A drive is known by its bootstrap volume: by the UUID the listing reports,
// else by where it is mounted.
std::string insertionKey(const std::vector<MountedVolumeInfo>& listing, const std::string& volumePath)
{
    std::string wanted = lexicallyNormalizedPath(volumePath);
    for (const MountedVolumeInfo& volume : listing) {
        if (volume.path.empty() || volume.path.front() != '/' || lexicallyNormalizedPath(volume.path) != wanted)
            continue;
        if (std::optional<std::string> uuid = volume.uuid ? canonicalVolumeUUID(*volume.uuid) : std::nullopt)
            return *uuid;
    }
    return "path:" + wanted;
}

}

DriveScanner::DriveScanner(Platform& platform, FerrolatchMountGuard& guard, VolumePromptSuppression& suppression,
                           MenuController& menu)
    : m_platform(platform), m_guard(guard), m_suppression(suppression), m_menu(menu)
{
}

void DriveScanner::volumeAppeared(const std::string& uuid)
{
    m_attempted.erase(uuid);
}

void DriveScanner::forgetDepartedDrives(const StatusSnapshot& snapshot)
{
    std::set<std::string> present;
    for (const MountedVolumeInfo& volume : snapshot.mountedVolumes)
        if (!volume.path.empty() && volume.path.front() == '/')
            present.insert(insertionKey(snapshot.mountedVolumes, volume.path));
    std::erase_if(m_attempted, [&](const std::string& key) { return !present.contains(key); });
}

void DriveScanner::scan(Trigger trigger, const StatusSnapshot& snapshot)
{
    if (m_scanning)
        return;
    m_scanning = true;
    // Whatever happens below, the flag must not stay set: it would silence
    // every later scan and refresh.
    auto done = atScopeExit([this] { m_scanning = false; });

    if (trigger == Trigger::Requested)
        m_attempted.clear();
    forgetDepartedDrives(snapshot);
    std::vector<std::string> manifests = discoverManifests(snapshot.mountedVolumes, m_platform.files);
    if (manifests.empty()) {
        m_menu.setStatusLine(idleStatus(snapshot.promptSuppressionAvailable));
        return;
    }
    for (const std::string& manifest : manifests) {
        if (!m_attempted.insert(insertionKey(snapshot.mountedVolumes, parentDirectory(manifest))).second)
            continue;
        try {
            scanManifest(manifest, snapshot, trigger);
        } catch (const std::exception& failure) {
            reportScanFailure(failure.what());
        }
    }
}

void DriveScanner::scanManifest(const std::string& discovered, const StatusSnapshot& snapshot, Trigger trigger)
{
    // Nothing is hidden, registered or guarded before the manifest is known
    // to name a volume of its own drive.
    Manifest found = acceptNativeVolumeManifest(readManifest(m_platform.files, discovered));
    BootstrapVolume bootstrap =
        identifyBootstrapVolume(m_platform.tools, snapshot.mountedVolumes, snapshot.containers, discovered);
    acceptDriveVolume(snapshot.containers, bootstrap, *found.volumeUUID);

    std::string manifestPath = hideBootstrapVolume(m_platform.tools, m_platform.files, bootstrap, discovered);
    // Known by its new place too, where the listing gives no UUID.
    m_attempted.insert(insertionKey(snapshot.mountedVolumes, parentDirectory(manifestPath)));
    Manifest manifest = loadNativeVolumeManifest(m_platform.files, manifestPath);
    acceptDriveVolume(snapshot.containers, bootstrap, *manifest.volumeUUID);
    registerDrive(m_platform.files, m_platform.paths, m_suppression, manifest);
    std::string uuid = asciiUppercased(*manifest.volumeUUID);
    m_guard.addEnrolledVolume(uuid);

    // Unlocked already, or a command of the user's is unlocking it: nothing
    // to ask, and no second Finder window.
    std::optional<APFSVolume> volume = snapshot.volume(uuid);
    if (trigger == Trigger::Automatic && ((volume && !volume->locked) || m_guard.explicitUnlockInProgress(uuid)))
        return;

    m_menu.setStatusLine("Unlocking " + *manifest.volumeName + "\u2026");
    {
        FerrolatchMountGuard::ExplicitUnlock window = m_guard.beginExplicitUnlock(uuid);
        runInOwnAppBundle(m_platform.tools, m_platform.paths, m_platform.files,
                          {"mount-drive", lexicallyNormalizedPath(manifestPath)});
    }

    manifest = loadNativeVolumeManifest(m_platform.files, manifestPath);
    std::optional<APFSVolume> unlocked;
    for (const APFSVolume& listed : listAPFSVolumes(m_platform.tools))
        if (listed.uuid == *manifest.volumeUUID) {
            unlocked = listed;
            break;
        }
    if (!unlocked)
        throw ProofError("unlocked volume disappeared");
    std::string mounted = mountPoint(m_platform.tools, unlocked->device);
    m_menu.setTrayState(TrayState::Open);
    m_menu.setStatusLine("Mounted " + *manifest.volumeName);
    m_platform.workspace.openURL(directoryURL(mounted));
}

void DriveScanner::reportScanFailure(const std::string& description)
{
    m_menu.setStatusLine(std::string(attentionStatus));
    m_menu.showErrorAlert("Could not unlock this Ferrolatch disk", description);
}

}
