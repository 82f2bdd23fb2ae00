#include "agent/ferrolatch_agent.h"

#include "agent/agent_menu.h"
#include "agent/drive_chooser.h"
#include "agent/drive_discovery.h"
#include "agent/status_summary.h"
#include "commands/about_window.h"
#include "commands/login_item.h"
#include "common/path_text.h"
#include "crypto/drive_registry.h"
#include "disk/apfs_inventory.h"
#include "finder/drive_eject.h"
#include "finder/sidebar_catalog.h"
#include "platform/log.h"

namespace ferrolatch {

namespace {

constexpr double unmountRefreshDelay = 0.75;
constexpr double mountScanDelay = 0.75;
constexpr double scanningRefreshDelay = 0.5;

// Reads the registry and keeps the system APFS agent's prompt away from every
// enrolled volume before the guard exists; failures are logged and the
// agent goes on. Returns the registry's UUIDs for the guard.
std::set<std::string> suppressPromptsForRegisteredVolumes(Platform& platform, VolumePromptSuppression& suppression)
{
    std::set<std::string> uuids = registeredVolumeUUIDs(platform.files, platform.paths);
    bool changed = false;
    for (const std::string& uuid : uuids) {
        try {
            changed = suppression.install(uuid) || changed;
        } catch (const std::exception& failure) {
            platform.log.write(formatLogLine("Ferrolatch could not install APFS prompt suppression for %@: %@",
                                             {uuid, failure.what()}));
        }
    }
    if (changed) {
        try {
            suppression.dismissStaleAgent();
        } catch (const std::exception& failure) {
            platform.log.write(
                formatLogLine("Ferrolatch could not dismiss the stale APFS password agent: %@", {failure.what()}));
        }
    }
    return uuids;
}

}

FerrolatchAgent::FerrolatchAgent(Construction, Platform& platform, VolumePromptSuppression& suppression,
                                 const CapabilityProbe& probe)
    : m_platform(platform), m_suppression(suppression),
      m_mountGuard(platform.diskArbitration, platform.log, suppressPromptsForRegisteredVolumes(platform, suppression)),
      m_promptSuppressionAvailable(probe())
{
}

std::shared_ptr<FerrolatchAgent> FerrolatchAgent::create(Platform& platform, VolumePromptSuppression& suppression,
                                                         const CapabilityProbe& probe)
{
    auto agent = std::make_shared<FerrolatchAgent>(Construction {}, platform, suppression, probe);
    agent->setTrayState(TrayState::Closed);
    agent->buildMenu();
    agent->refreshStatus();
    auto didMount = agent->action(&FerrolatchAgent::volumeDidMount);
    auto didUnmount = agent->action(&FerrolatchAgent::volumeDidUnmount);
    agent->m_volumeObserver = platform.volumeEvents.observe([didMount, didUnmount](const VolumeEvent& event) {
        if (event.kind == VolumeEventKind::DidMount)
            didMount();
        else if (event.kind == VolumeEventKind::DidUnmount)
            didUnmount();
    });
    platform.mainLoop.post(agent->action(&FerrolatchAgent::scanForDrives));
    return agent;
}

FerrolatchAgent::~FerrolatchAgent()
{
    if (m_unmountRefreshWorkItem)
        m_unmountRefreshWorkItem->cancel();
    if (m_volumeObserver)
        m_platform.volumeEvents.removeObserver(*m_volumeObserver);
}

std::function<void()> FerrolatchAgent::whileAlive(std::function<void(FerrolatchAgent&)> task)
{
    std::weak_ptr<FerrolatchAgent> weak = weak_from_this();
    return [weak, task = std::move(task)] {
        auto self = weak.lock();
        if (!self)
            return;
        // The agent never stops for a failure: one that escapes a task is
        // logged and the agent goes on.
        try {
            task(*self);
        } catch (const std::exception& failure) {
            self->m_platform.log.write(
                formatLogLine("Ferrolatch could not finish a menu-bar task: %@", {failure.what()}));
        }
    };
}

std::function<void()> FerrolatchAgent::action(void (FerrolatchAgent::*member)())
{
    return whileAlive([member](FerrolatchAgent& self) { (self.*member)(); });
}

std::shared_ptr<DelayedTask> FerrolatchAgent::after(double seconds, void (FerrolatchAgent::*task)())
{
    return m_platform.mainLoop.postAfter(seconds, action(task));
}

void FerrolatchAgent::menuWillOpen()
{
    m_finderSidebarChecked = m_platform.finderSync.isExtensionEnabled();
    refreshStatus();
}

void FerrolatchAgent::volumeDidMount()
{
    if (m_unmountRefreshWorkItem) {
        m_unmountRefreshWorkItem->cancel();
        m_unmountRefreshWorkItem.reset();
    }
    after(mountScanDelay, &FerrolatchAgent::scanForDrives);
}

void FerrolatchAgent::volumeDidUnmount()
{
    if (m_unmountRefreshWorkItem)
        m_unmountRefreshWorkItem->cancel();
    m_unmountRefreshWorkItem = after(unmountRefreshDelay, &FerrolatchAgent::refreshStatus);
}

void FerrolatchAgent::setTrayState(TrayState state)
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

void FerrolatchAgent::buildMenu()
{
    AgentMenuActions actions {action(&FerrolatchAgent::setupDrive),
                              action(&FerrolatchAgent::scanFromMenu),
                              action(&FerrolatchAgent::showOfflineRecoveryKey),
                              action(&FerrolatchAgent::saveRecoveryInPasswords),
                              action(&FerrolatchAgent::toggleLoginItem),
                              action(&FerrolatchAgent::showFinderSidebarSettings),
                              action(&FerrolatchAgent::showAbout),
                              action(&FerrolatchAgent::checkForUpdates),
                              action(&FerrolatchAgent::quit)};
    m_finderSidebarChecked = m_platform.finderSync.isExtensionEnabled();
    m_menu = buildAgentMenu(m_statusLine, startsAtLogin(m_platform.loginItem), m_finderSidebarChecked, actions);
    publishMenu();
}

void FerrolatchAgent::publishMenu()
{
    if (m_menu.rows.empty())
        return;
    m_menu.rows.front().title = m_statusLine;
    for (MenuRow& row : m_menu.rows)
        if (row.title == finderSidebarTitle)
            row.checked = m_finderSidebarChecked;
    m_platform.statusItem.setMenu(m_menu, this);
}

void FerrolatchAgent::setStatusLine(const std::string& text)
{
    m_statusLine = text;
    publishMenu();
}

void FerrolatchAgent::publishSidebarCatalog()
{
    try {
        std::set<std::string> uuids = registeredVolumeUUIDs(m_platform.files, m_platform.paths);
        FerrolatchFinderState::writeCatalog(m_platform.files, m_platform.notifications, uuids,
                                            FerrolatchFinderState::catalogURL(m_platform.paths));
    } catch (const std::exception& failure) {
        m_platform.log.write(formatLogLine("Ferrolatch could not update sidebar icons: %@", {failure.what()}));
    }
}

void FerrolatchAgent::refreshEjectItems()
{
    if (m_menu.rows.empty())
        return;
    std::erase_if(m_menu.rows, [](const MenuRow& row) { return row.tag == ejectMenuTag; });
    std::vector<FerrolatchEject::Target> targets = FerrolatchEject::ejectTargets(
        registeredVolumeUUIDs(m_platform.files, m_platform.paths),
        FerrolatchEject::mountedEnrolledVolumes(m_platform.files, m_platform.paths, m_platform.tools),
        m_platform.mountedVolumes);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        MenuRow row;
        row.title = "Eject " + FerrolatchEject::targetDisplayName(targets[i], m_platform.mountedVolumes);
        row.tag = ejectMenuTag;
        row.representedObject = targets[i].uuid;
        // The row is its own sender: the action reads the UUID it carries.
        row.action = whileAlive([sender = row](FerrolatchAgent& self) { self.ejectDrive(sender); });
        m_menu.rows.insert(m_menu.rows.begin() + static_cast<std::ptrdiff_t>(std::min(i + 1, m_menu.rows.size())),
                           std::move(row));
    }
    publishMenu();
}

void FerrolatchAgent::ejectDrive(const MenuRow& sender)
{
    if (m_scanning || !sender.representedObject)
        return;
    try {
        FerrolatchEject::ejectVolume(
            *sender.representedObject, registeredVolumeUUIDs(m_platform.files, m_platform.paths),
            FerrolatchEject::mountedEnrolledVolumes(m_platform.files, m_platform.paths, m_platform.tools),
            m_platform.mountedVolumes, [this](const std::string& url) { m_platform.workspace.unmountAndEjectDevice(url); });
    } catch (const std::exception& failure) {
        showErrorAlert("Could not eject the Ferrolatch drive", failure.what());
    }
    refreshStatus();
}

void FerrolatchAgent::refreshStatus()
{
    refreshEjectItems();
    if (m_scanning) {
        if (m_unmountRefreshWorkItem)
            m_unmountRefreshWorkItem->cancel();
        m_unmountRefreshWorkItem = after(scanningRefreshDelay, &FerrolatchAgent::refreshStatus);
        return;
    }
    publishSidebarCatalog();
    std::set<std::string> enrolled = registeredVolumeUUIDs(m_platform.files, m_platform.paths);
    std::vector<APFSVolume> volumes;
    try {
        volumes = listAPFSVolumes(m_platform.tools);
    } catch (const std::exception&) {
        volumes.clear();
    }
    StatusSummary summary = summarizeVolumes(volumes, enrolled, m_promptSuppressionAvailable,
                                             [this](const APFSVolume& volume) -> std::optional<std::string> {
                                                 try {
                                                     return mountPoint(m_platform.tools, volume.device);
                                                 } catch (const std::exception&) {
                                                     return std::nullopt;
                                                 }
                                             });
    setTrayState(summary.tray);
    setStatusLine(summary.line);
}

void FerrolatchAgent::showErrorAlert(const std::string& title, const std::string& description)
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

std::optional<std::string> FerrolatchAgent::chooseDriveManifest(const std::string& purpose)
{
    return ferrolatch::chooseDriveManifest(m_platform.ui, m_platform.files,
                                           discoverManifests(m_platform.mountedVolumes, m_platform.files), purpose);
}

void FerrolatchAgent::setupDrive()
{
    try {
        runInOwnAppBundle(m_platform.tools, m_platform.paths, {"setup-drive"});
    } catch (const std::exception& failure) {
        showErrorAlert("Could not set up the drive", failure.what());
        return;
    }
    scanForDrives();
}

void FerrolatchAgent::runRecoveryCommand(const std::string& purpose, const std::string& command,
                                         const std::string& title)
{
    try {
        std::optional<std::string> manifest = chooseDriveManifest(purpose);
        if (!manifest)
            return;
        runInOwnAppBundle(m_platform.tools, m_platform.paths, {command, lexicallyNormalizedPath(*manifest)});
    } catch (const std::exception& failure) {
        showErrorAlert(title, failure.what());
    }
}

void FerrolatchAgent::showOfflineRecoveryKey()
{
    runRecoveryCommand("decrypt and show its recovery key", "native-offline-recovery",
                       "Could not show the offline recovery key");
}

void FerrolatchAgent::saveRecoveryInPasswords()
{
    runRecoveryCommand("decrypt its recovery password for the guided Apple Passwords handoff",
                       "native-passwords-recovery", "Could not save the recovery password");
}

void FerrolatchAgent::toggleLoginItem()
{
    bool changed = ::ferrolatch::toggleLoginItem(m_platform.loginItem, [this](std::string_view title,
                                                                            const std::exception& error) {
        showErrorAlert(std::string(title), error.what());
    });
    if (changed)
        buildMenu();
}

void FerrolatchAgent::showFinderSidebarSettings()
{
    try {
        m_platform.finderSync.showExtensionManagementInterface();
    } catch (const std::exception& failure) {
        showErrorAlert("Could not open the Finder sidebar settings", failure.what());
    }
}

void FerrolatchAgent::showAbout()
{
    showAboutWindow(m_platform.ui, m_platform.workspace, m_platform.files, m_platform.paths);
}

void FerrolatchAgent::checkForUpdates()
{
    checkForUpdatesInBrowser(m_platform.workspace, m_platform.files, m_platform.paths);
}

void FerrolatchAgent::quit()
{
    m_platform.mainLoop.stop();
}

void runAgent(Platform& platform, VolumePromptSuppression& suppression,
              const FerrolatchAgent::CapabilityProbe& probe)
{
    platform.ui.prepareApplication();
    std::shared_ptr<FerrolatchAgent> agent = FerrolatchAgent::create(platform, suppression, probe);
    platform.mainLoop.run();
}

}
