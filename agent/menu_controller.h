#pragma once

#include "agent/agent_menu.h"
#include "agent/status_snapshot.h"
#include "agent/tray_state.h"
#include "platform/platform.h"
#include "platform/status_item.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ferrolatch {

// The agent's face in the menu bar: the icon, the status line, the menu with
// its eject rows, the one error alert, and the menu commands that hand their
// work to child instances and other parts. It learns the state of the Mac
// only from the snapshots it is shown. Menu actions hold it weakly.
class MenuController final : public MenuDelegate, public std::enable_shared_from_this<MenuController> {
public:
    // What the controller asks of the agent around it.
    struct Hooks {
        std::function<void()> refreshStatus;  // the menu opens, an eject finished
        std::function<void()> scanFromMenu;   // "Scan for Ferrolatch Drives"
        std::function<void()> scanAfterSetUp; // a set-up succeeded
        std::function<bool()> scanning;       // no eject while a scan runs
        std::function<StatusSnapshot()> snapshot; // the Mac as it is when a row is chosen
    };

    MenuController(Platform& platform, Hooks hooks);

    void menuWillOpen() override;

    void setTrayState(TrayState state);
    void buildMenu();
    void setStatusLine(const std::string& text);
    // The icon and status line of a snapshot's summary.
    void showStatus(const StatusSummary& summary);
    // Replaces the eject rows under the status line with the snapshot's targets.
    void refreshEjectItems(const StatusSnapshot& snapshot);
    void showErrorAlert(const std::string& title, const std::string& description);
    std::optional<std::string> chooseDriveManifest(const std::string& purpose);

    // Menu commands.
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

    const std::string& statusLine() const { return m_statusLine; }
    std::optional<TrayState> trayState() const { return m_trayState; }

private:
    void publishMenu();
    void runRecoveryCommand(const std::string& purpose, const std::string& command, const std::string& title);
    // Runs a member on the controller if it still exists; a failure is logged.
    std::function<void()> whileAlive(std::function<void(MenuController&)> task);
    std::function<void()> action(void (MenuController::*member)());

    Platform& m_platform;
    Hooks m_hooks;
    std::string m_statusLine = "Waiting for a Ferrolatch disk";
    bool m_finderSidebarChecked = false;
    std::optional<TrayState> m_trayState;
    Menu m_menu;
};

}
