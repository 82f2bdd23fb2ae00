#pragma once

#include "agent/mount_guard.h"
#include "agent/tray_state.h"
#include "crypto/drive_registry.h"
#include "platform/platform.h"
#include "platform/status_item.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ferrolatch {

// The menu-bar agent: its status item and menu, the mount guard it owns, the
// timers that follow volume mounts and unmounts, and the scan that unlocks
// inserted drives in child instances of the program. Everything runs on the
// main loop; delayed tasks and menu actions hold the agent weakly.
class FerrolatchAgent final : public MenuDelegate, public std::enable_shared_from_this<FerrolatchAgent> {
public:
    // The probe tells whether the system APFS agent honours the per-volume
    // prompt suppression.
    using CapabilityProbe = std::function<bool()>;

    // Builds the agent in its order, shows the icon and menu, observes volume
    // mounts and queues the first scan. Fails when no Disk Arbitration
    // session can be had: the agent does not run without its guard.
    static std::shared_ptr<FerrolatchAgent> create(Platform& platform, VolumePromptSuppression& suppression,
                                                   const CapabilityProbe& probe);
    ~FerrolatchAgent() override;

    FerrolatchAgent(const FerrolatchAgent&) = delete;
    FerrolatchAgent& operator=(const FerrolatchAgent&) = delete;

    // Actions.
    void menuWillOpen() override;
    void volumeDidMount();
    void volumeDidUnmount();
    void scanFromMenu() { scanForDrives(); }
    void setupDrive();
    void showOfflineRecoveryKey();
    void saveRecoveryInPasswords();
    void toggleLoginItem();
    void showFinderSidebarSettings();
    void showAbout();
    void checkForUpdates();
    void quit();
    // The action of an eject row: the row carries its volume's UUID.
    void ejectDrive(const MenuRow& sender);

    void setTrayState(TrayState state);
    void buildMenu();
    void refreshStatus();
    // Replaces the eject rows under the status line with the current targets.
    void refreshEjectItems();
    std::optional<std::string> chooseDriveManifest(const std::string& purpose);
    void showErrorAlert(const std::string& title, const std::string& description);
    void scanForDrives();

    const std::string& statusLine() const { return m_statusLine; }
    bool scanning() const { return m_scanning; }
    std::optional<TrayState> trayState() const { return m_trayState; }
    bool promptSuppressionAvailable() const { return m_promptSuppressionAvailable; }
    FerrolatchMountGuard& mountGuard() { return m_mountGuard; }

private:
    struct Construction {};

public:
    FerrolatchAgent(Construction, Platform& platform, VolumePromptSuppression& suppression,
                    const CapabilityProbe& probe);

private:
    void setStatusLine(const std::string& text);
    void publishMenu();
    void publishSidebarCatalog();
    // Runs a task on the main loop after a delay, if the agent still exists.
    std::shared_ptr<DelayedTask> after(double seconds, void (FerrolatchAgent::*task)());
    // Runs a task on the agent if it still exists; a failure is logged.
    std::function<void()> whileAlive(std::function<void(FerrolatchAgent&)> task);
    std::function<void()> action(void (FerrolatchAgent::*member)());
    void runRecoveryCommand(const std::string& purpose, const std::string& command, const std::string& title);
    void scanManifest(const std::string& manifestPath);
    void reportScanFailure(const std::string& description);

    Platform& m_platform;
    VolumePromptSuppression& m_suppression;
    std::string m_statusLine = "Waiting for a Ferrolatch disk";
    bool m_finderSidebarChecked = false;
    FerrolatchMountGuard m_mountGuard;
    bool m_promptSuppressionAvailable = false;
    bool m_scanning = false;
    std::shared_ptr<DelayedTask> m_unmountRefreshWorkItem;
    std::optional<TrayState> m_trayState;
    Menu m_menu;
    std::optional<VolumeEvents::Token> m_volumeObserver;
};

// The no-argument start: an accessory application showing the agent until
// "Quit Ferrolatch" ends the main loop.
void runAgent(Platform& platform, VolumePromptSuppression& suppression,
              const FerrolatchAgent::CapabilityProbe& probe);

}
