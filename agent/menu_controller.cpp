#include "agent/menu_controller.h"

#include "agent/drive_chooser.h"
#include "agent/drive_discovery.h"
#include "agent/own_app_bundle.h"
#include "commands/about_window.h"
#include "commands/login_item.h"
#include "common/path_text.h"
#include "finder/drive_eject.h"
#include "platform/log.h"

#include <algorithm>

namespace ferrolatch {

MenuController::MenuController(Platform& platform, Hooks hooks) : m_platform(platform), m_hooks(std::move(hooks)) {}

std::function<void()> MenuController::whileAlive(std::function<void(MenuController&)> task)
{
    std::weak_ptr<MenuController> weak = weak_from_this();
    return [weak, task = std::move(task)] {
        auto self = weak.lock();
        if (!self)
            return;
        // The agent never stops for a failure: one that escapes a command is
        // logged and the agent goes on.
        try {
            task(*self);
        } catch (const std::exception& failure) {
            self->m_platform.log.write(
                formatLogLine("Ferrolatch could not finish a menu-bar task: %@", {failure.what()}));
        }
    };
}

std::function<void()> MenuController::action(void (MenuController::*member)())
{
    return whileAlive([member](MenuController& self) { (self.*member)(); });
}

void MenuController::menuWillOpen()
{
    m_finderSidebarChecked = m_platform.finderSync.isExtensionEnabled();
    m_hooks.refreshStatus();
}

void MenuController::setTrayState(TrayState state)
{
    if (m_trayState == state)
        return;
    m_trayState = state;
    TrayIcon icon = trayIcon(state);
    std::optional<std::string> path = m_platform.paths.bundleResource(icon.resourceName, "svg");
    StatusButton button = m_platform.statusItem.button();
    if (path && m_platform.statusItem.canLoadImage(*path)) {
        button.title.clear();
        button.image = StatusImage {std::string(icon.resourceName), *path, 18, 18, true};
        button.toolTip = std::string(icon.toolTip);
    } else {
        button.image.reset();
        button.title = std::string(trayFallbackTitle);
    }
    m_platform.statusItem.setButton(button);
}

void MenuController::buildMenu()
{
    auto scanFromMenu = m_hooks.scanFromMenu;
    AgentMenuActions actions {action(&MenuController::setupDrive),
                              whileAlive([scanFromMenu](MenuController&) { scanFromMenu(); }),
                              action(&MenuController::showOfflineRecoveryKey),
                              action(&MenuController::saveRecoveryInPasswords),
                              action(&MenuController::toggleLoginItem),
                              action(&MenuController::showFinderSidebarSettings),
                              action(&MenuController::showAbout),
                              action(&MenuController::checkForUpdates),
                              action(&MenuController::quit)};
    m_finderSidebarChecked = m_platform.finderSync.isExtensionEnabled();
    m_menu = buildAgentMenu(m_statusLine, startsAtLogin(m_platform.loginItem), m_finderSidebarChecked, actions);
    publishMenu();
}

void MenuController::publishMenu()
{
    if (m_menu.rows.empty())
        return;
    m_menu.rows.front().title = m_statusLine;
    for (MenuRow& row : m_menu.rows)
        if (row.title == finderSidebarTitle)
            row.checked = m_finderSidebarChecked;
    m_platform.statusItem.setMenu(m_menu, this);
}

void MenuController::setStatusLine(const std::string& text)
{
    m_statusLine = text;
    publishMenu();
}

void MenuController::showStatus(const StatusSummary& summary)
{
    setTrayState(summary.tray);
    setStatusLine(summary.line);
}

void MenuController::refreshEjectItems(const StatusSnapshot& snapshot)
{
    if (m_menu.rows.empty())
        return;
    std::erase_if(m_menu.rows, [](const MenuRow& row) { return row.tag == ejectMenuTag; });
    std::vector<FerrolatchEject::Target> targets =
        FerrolatchEject::ejectTargets(snapshot.enrolled, snapshot.mountedEnrolled(), m_platform.mountedVolumes);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        MenuRow row;
        row.title = "Eject " + FerrolatchEject::targetDisplayName(targets[i], m_platform.mountedVolumes);
        row.tag = ejectMenuTag;
        row.representedObject = targets[i].uuid;
        // The row is its own sender: the action reads the UUID it carries.
        row.action = whileAlive([sender = row](MenuController& self) { self.ejectDrive(sender); });
        m_menu.rows.insert(m_menu.rows.begin() + static_cast<std::ptrdiff_t>(std::min(i + 1, m_menu.rows.size())),
                           std::move(row));
    }
    publishMenu();
}

void MenuController::ejectDrive(const MenuRow& sender)
{
    if (m_hooks.scanning() || !sender.representedObject)
        return;
    try {
        // The drive may have gone since the menu showed the row.
        StatusSnapshot now = m_hooks.snapshot();
        FerrolatchEject::ejectVolume(
            *sender.representedObject, now.enrolled, now.mountedEnrolled(), m_platform.mountedVolumes,
            [this](const std::string& url) { m_platform.workspace.unmountAndEjectDevice(url); });
    } catch (const std::exception& failure) {
        showErrorAlert("Could not eject the Ferrolatch drive", failure.what());
    }
    m_hooks.refreshStatus();
}

void MenuController::showErrorAlert(const std::string& title, const std::string& description)
{
    // The agent never stops for a failure, not even one of the alert itself.
    try {
        m_platform.ui.activate();
        Alert alert;
        alert.style = AlertStyle::Warning;
        alert.messageText = title;
        alert.informativeText = description;
        alert.buttons = {{"OK"}};
        m_platform.ui.runModal(alert);
    } catch (const std::exception& failure) {
        m_platform.log.write(formatLogLine("Ferrolatch could not show an alert: %@", {failure.what()}));
    }
}

std::optional<std::string> MenuController::chooseDriveManifest(const std::string& purpose)
{
    return ferrolatch::chooseDriveManifest(m_platform.ui, m_platform.files,
                                           discoverManifests(m_platform.mountedVolumes, m_platform.files), purpose);
}

void MenuController::setupDrive()
{
    try {
        runInOwnAppBundle(m_platform.tools, m_platform.paths, m_platform.files, {"setup-drive"});
    } catch (const std::exception& failure) {
        showErrorAlert("Could not set up the drive", failure.what());
        return;
    }
    m_hooks.scanAfterSetUp();
}

void MenuController::runRecoveryCommand(const std::string& purpose, const std::string& command,
                                        const std::string& title)
{
    try {
        std::optional<std::string> manifest = chooseDriveManifest(purpose);
        if (!manifest)
            return;
        runInOwnAppBundle(m_platform.tools, m_platform.paths, m_platform.files,
                          {command, lexicallyNormalizedPath(*manifest)});
    } catch (const std::exception& failure) {
        showErrorAlert(title, failure.what());
    }
}

void MenuController::showOfflineRecoveryKey()
{
    runRecoveryCommand("decrypt and show its recovery key", "native-offline-recovery",
                       "Could not show the offline recovery key");
}

void MenuController::saveRecoveryInPasswords()
{
    runRecoveryCommand("decrypt its recovery password for the guided Apple Passwords handoff",
                       "native-passwords-recovery", "Could not save the recovery password");
}

void MenuController::toggleLoginItem()
{
    bool changed = ::ferrolatch::toggleLoginItem(m_platform.loginItem, [this](std::string_view title,
                                                                            const std::exception& error) {
        showErrorAlert(std::string(title), error.what());
    });
    if (changed)
        buildMenu();
}

void MenuController::showFinderSidebarSettings()
{
    try {
        m_platform.finderSync.showExtensionManagementInterface();
    } catch (const std::exception& failure) {
        showErrorAlert("Could not open the Finder sidebar settings", failure.what());
    }
}

void MenuController::showAbout()
{
    showAboutWindow(m_platform.ui, m_platform.workspace, m_platform.files, m_platform.paths);
}

void MenuController::checkForUpdates()
{
    checkForUpdatesInBrowser(m_platform.workspace, m_platform.files, m_platform.paths);
}

void MenuController::quit()
{
    m_platform.mainLoop.stop();
}

}
