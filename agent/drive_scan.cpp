// The scan that finds set-up drives on mounted bootstrap volumes and unlocks
// each in a child instance of the program, where its passkey sheet shows.
#include "agent/drive_discovery.h"
#include "agent/ferrolatch_agent.h"
#include "agent/status_summary.h"
#include "common/ascii_case.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "common/path_text.h"
#include "crypto/manifest.h"
#include "crypto/manifest_rules.h"
#include "disk/apfs_inventory.h"

namespace ferrolatch {

namespace {

std::string directoryURL(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (char character : path) {
        auto c = static_cast<unsigned char>(character);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos;
        if (plain) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0x0F];
        }
    }
    if (url.back() != '/')
        url += '/';
    return url;
}

}

void FerrolatchAgent::scanForDrives()
{
    if (m_scanning)
        return;
    m_scanning = true;
    // Whatever happens below, the flag must not stay set: it would silence
    // every later scan and refresh.
    auto clear = onFailure([this] { m_scanning = false; });

    std::vector<std::string> manifests = discoverManifests(m_platform.mountedVolumes, m_platform.files);
    if (manifests.empty()) {
        setStatusLine(idleStatus(m_promptSuppressionAvailable));
        m_scanning = false;
        clear.dismiss();
        refreshStatus();
        return;
    }
    for (const std::string& manifest : manifests) {
        try {
            scanManifest(manifest);
        } catch (const std::exception& failure) {
            reportScanFailure(failure.what());
        }
    }
    m_scanning = false;
    clear.dismiss();
    refreshStatus();
}

void FerrolatchAgent::scanManifest(const std::string& discovered)
{
    acceptNativeVolumeManifest(readManifest(m_platform.files, discovered));
    std::string manifestPath = hideBootstrapVolume(m_platform.tools, m_platform.files, m_platform.mountedVolumes,
                                                   discovered);
    Manifest manifest = loadNativeVolumeManifest(m_platform.files, manifestPath);
    registerDrive(m_platform.files, m_platform.paths, m_suppression, manifest);
    std::string uuid = asciiUppercased(*manifest.volumeUUID);
    m_mountGuard.addEnrolledVolume(uuid);
    setStatusLine("Unlocking " + *manifest.volumeName + "\u2026");

    m_mountGuard.beginExplicitUnlock(uuid);
    try {
        runInOwnAppBundle(m_platform.tools, m_platform.paths, {"mount-drive", lexicallyNormalizedPath(manifestPath)});
    } catch (...) {
        m_mountGuard.endExplicitUnlock(uuid);
        throw;
    }
    m_mountGuard.endExplicitUnlock(uuid);

    manifest = loadNativeVolumeManifest(m_platform.files, manifestPath);
    std::optional<APFSVolume> unlocked;
    for (const APFSVolume& volume : listAPFSVolumes(m_platform.tools))
        if (volume.uuid == *manifest.volumeUUID) {
            unlocked = volume;
            break;
        }
    if (!unlocked)
        throw ProofError("unlocked volume disappeared");
    std::string mounted = mountPoint(m_platform.tools, unlocked->device);
    setTrayState(TrayState::Open);
    setStatusLine("Mounted " + *manifest.volumeName);
    m_platform.workspace.openURL(directoryURL(mounted));
}

void FerrolatchAgent::reportScanFailure(const std::string& description)
{
    setStatusLine(std::string(attentionStatus));
    showErrorAlert("Could not unlock this Ferrolatch disk", description);
}

}
