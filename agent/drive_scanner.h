#pragma once

#include "agent/menu_controller.h"
#include "agent/mount_guard.h"
#include "agent/status_snapshot.h"
#include "crypto/drive_registry.h"
#include "platform/platform.h"

#include <set>
#include <string>

namespace ferrolatch {

// Finds set-up drives on the mounted bootstrap volumes and unlocks each in a
// child instance of the program, where its passkey sheet shows. One
// insertion of a drive gets one attempt: a drive already tried (unlocked,
// being unlocked, cancelled or failed) is passed over by later scans until
// its disk is attached again or the user asks for a scan from the menu.
class DriveScanner {
public:
    enum class Trigger {
        Automatic, // the agent's start, a mount, a finished set-up
        Requested, // "Scan for Ferrolatch Drives": every drive is tried again
    };

    DriveScanner(Platform& platform, FerrolatchMountGuard& guard, VolumePromptSuppression& suppression,
                 MenuController& menu);

    // Does nothing while a scan runs; reports only through the menu.
    void scan(Trigger trigger, const StatusSnapshot& snapshot);
    bool scanning() const { return m_scanning; }

    // A volume of this UUID was just attached: if it is a drive's bootstrap
    // volume, that drive counts as inserted anew.
    void volumeAppeared(const std::string& uuid);

private:
    void scanManifest(const std::string& discovered, const StatusSnapshot& snapshot, Trigger trigger);
    void forgetDepartedDrives(const StatusSnapshot& snapshot);
    void reportScanFailure(const std::string& description);

    Platform& m_platform;
    FerrolatchMountGuard& m_guard;
    VolumePromptSuppression& m_suppression;
    MenuController& m_menu;
    bool m_scanning = false;
    // The drives this insertion has tried, by their bootstrap volume.
    std::set<std::string> m_attempted;
};

}
