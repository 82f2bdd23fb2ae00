#include "agent/ferrolatch_agent.h"

#include "common/constants.h"
#include "common/errors.h"
#include "crypto/drive_registry.h"
#include "finder/sidebar_catalog.h"
#include "platform/log.h"

namespace ferrolatch {

namespace {

constexpr double unmountRefreshDelay = 0.75;
constexpr double mountScanDelay = 0.75;
constexpr double scanningRefreshDelay = 0.5;

}

bool FerrolatchAgent::ProbedSuppression::install(std::string_view volumeUUID)
{
    if (m_available)
        return m_marker.install(volumeUUID);
    if (m_lenient)
        return false;
    throw ProofError(std::string(promptSuppressionUnsupported));
}

FerrolatchAgent::FerrolatchAgent(Construction, Platform& platform, VolumePromptSuppression& marker,
                                 CapabilityProbe probe)
    : m_platform(platform), m_probe(std::move(probe)), m_startSuppression(marker, m_promptSuppressionAvailable, false),
      m_scanSuppression(marker, m_promptSuppressionAvailable, true)
{
}

std::shared_ptr<FerrolatchAgent> FerrolatchAgent::create(Platform& platform, VolumePromptSuppression& marker,
                                                         CapabilityProbe probe,
                                                         std::unique_ptr<ExplicitUnlockService> unlockService)
{
    auto agent = std::make_shared<FerrolatchAgent>(Construction {}, platform, marker, std::move(probe));
    std::weak_ptr<FerrolatchAgent> weak = agent;
    agent->m_menu = std::make_shared<MenuController>(
        platform, MenuController::Hooks {
                      agent->whileAlive([](FerrolatchAgent& self) { self.refreshStatus(); }),
                      agent->whileAlive([](FerrolatchAgent& self) { self.scanForDrives(DriveScanner::Trigger::Requested); }),
                      agent->whileAlive([](FerrolatchAgent& self) { self.scanForDrives(); }),
                      [weak] {
                          auto self = weak.lock();
                          return self && self->scanning();
                      },
                      [weak] {
                          auto self = weak.lock();
                          return self ? self->snapshot() : StatusSnapshot {};
                      }});

    // Probed once per run; the start-up installs below depend on it.
    agent->m_promptSuppressionAvailable = agent->m_probe();
    std::set<std::string> registered = registeredVolumeUUIDs(platform.files, platform.paths);
    agent->suppressPromptsForRegisteredVolumes(registered);
    MainLoop& loop = platform.mainLoop;
    agent->m_mountGuard = std::make_unique<FerrolatchMountGuard>(
        platform.diskArbitration, platform.log, registered, [weak, &loop](const std::string& uuid) {
            // On the guard's queue: the scanner hears of it on the main loop,
            // before the mount that follows the attach.
            loop.post([weak, uuid] {
                if (auto self = weak.lock())
                    self->m_scanner->volumeAppeared(uuid);
            });
        });
    agent->m_scanner =
        std::make_unique<DriveScanner>(platform, *agent->m_mountGuard, agent->m_scanSuppression, *agent->m_menu);
    agent->m_unlockService = std::move(unlockService);
    if (agent->m_unlockService)
        agent->m_unlockService->serve(agent->m_mountGuard.get());

    agent->m_menu->setTrayState(TrayState::Closed);
    agent->m_menu->buildMenu();
    agent->refreshStatus();
    agent->observe();
    platform.mainLoop.post(agent->whileAlive([](FerrolatchAgent& self) { self.scanForDrives(); }));
    return agent;
}

FerrolatchAgent::~FerrolatchAgent()
{
    if (m_unmountRefreshWorkItem)
        m_unmountRefreshWorkItem->cancel();
    if (m_volumeObserver)
        m_platform.volumeEvents.removeObserver(*m_volumeObserver);
    for (FileEvents::Token token : m_fileObservers)
        m_platform.fileEvents.removeObserver(token);
    if (m_unlockService)
        m_unlockService->serve(nullptr);
}

void FerrolatchAgent::observe()
{
    auto didMount = whileAlive([](FerrolatchAgent& self) { self.volumeDidMount(); });
    auto didUnmount = whileAlive([](FerrolatchAgent& self) { self.volumeDidUnmount(); });
    m_volumeObserver = m_platform.volumeEvents.observe([didMount, didUnmount](const VolumeEvent& event) {
        if (event.kind == VolumeEventKind::DidMount)
            didMount();
        else if (event.kind == VolumeEventKind::DidUnmount)
            didUnmount();
    });
    // Watched, never polled: a drive forgotten or set up elsewhere, and a
    // system update that changes the APFS agent.
    m_fileObservers.push_back(m_platform.fileEvents.observe(
        registryDirectory(m_platform.paths), whileAlive([](FerrolatchAgent& self) { self.registryDidChange(); })));
    m_fileObservers.push_back(m_platform.fileEvents.observe(
        m_platform.paths.systemFile(apfsUserAgentPath),
        whileAlive([](FerrolatchAgent& self) { self.apfsAgentDidChange(); })));
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

std::shared_ptr<DelayedTask> FerrolatchAgent::after(double seconds, void (FerrolatchAgent::*task)())
{
    return m_platform.mainLoop.postAfter(seconds, whileAlive([task](FerrolatchAgent& self) { (self.*task)(); }));
}

// Keeps the system APFS agent's prompt away from every enrolled volume;
// failures are logged and the agent goes on.
void FerrolatchAgent::suppressPromptsForRegisteredVolumes(const std::set<std::string>& uuids)
{
    bool changed = false;
    for (const std::string& uuid : uuids) {
        try {
            changed = m_startSuppression.install(uuid) || changed;
        } catch (const std::exception& failure) {
            m_platform.log.write(formatLogLine("Ferrolatch could not install APFS prompt suppression for %@: %@",
                                               {uuid, failure.what()}));
        }
    }
    if (changed) {
        try {
            m_startSuppression.dismissStaleAgent();
        } catch (const std::exception& failure) {
            m_platform.log.write(
                formatLogLine("Ferrolatch could not dismiss the stale APFS password agent: %@", {failure.what()}));
        }
    }
}

void FerrolatchAgent::volumeDidMount()
{
    if (m_unmountRefreshWorkItem) {
        m_unmountRefreshWorkItem->cancel();
        m_unmountRefreshWorkItem.reset();
    }
    m_platform.mainLoop.postAfter(mountScanDelay, whileAlive([](FerrolatchAgent& self) { self.scanForDrives(); }));
}

void FerrolatchAgent::volumeDidUnmount()
{
    if (m_unmountRefreshWorkItem)
        m_unmountRefreshWorkItem->cancel();
    m_unmountRefreshWorkItem = after(unmountRefreshDelay, &FerrolatchAgent::refreshStatus);
}

StatusSnapshot FerrolatchAgent::snapshot()
{
    StatusSnapshot taken = takeStatusSnapshot(
        {m_platform.tools, m_platform.files, m_platform.paths, m_platform.mountedVolumes});
    taken.promptSuppressionAvailable = m_promptSuppressionAvailable;
    return taken;
}

void FerrolatchAgent::scanForDrives(DriveScanner::Trigger trigger)
{
    if (m_scanner->scanning())
        return;
    m_scanner->scan(trigger, snapshot());
    refreshStatus();
}

void FerrolatchAgent::publishSidebarCatalog(const std::set<std::string>& uuids)
{
    try {
        FerrolatchFinderState::writeCatalog(m_platform.files, m_platform.notifications, uuids,
                                            FerrolatchFinderState::catalogURL(m_platform.paths));
    } catch (const std::exception& failure) {
        m_platform.log.write(formatLogLine("Ferrolatch could not update sidebar icons: %@", {failure.what()}));
    }
}

void FerrolatchAgent::refreshStatus()
{
    StatusSnapshot now = snapshot();
    m_menu->refreshEjectItems(now);
    if (m_scanner->scanning()) {
        if (m_unmountRefreshWorkItem)
            m_unmountRefreshWorkItem->cancel();
        m_unmountRefreshWorkItem = after(scanningRefreshDelay, &FerrolatchAgent::refreshStatus);
        return;
    }
    publishSidebarCatalog(now.enrolled);
    m_menu->showStatus(now.summary());
}

void FerrolatchAgent::registryDidChange()
{
    m_mountGuard->setEnrolledVolumes(registeredVolumeUUIDs(m_platform.files, m_platform.paths));
    refreshStatus();
}

void FerrolatchAgent::apfsAgentDidChange()
{
    bool wasAvailable = m_promptSuppressionAvailable;
    m_promptSuppressionAvailable = m_probe();
    // Drives registered without the marker get it once the system honours it.
    if (m_promptSuppressionAvailable && !wasAvailable)
        suppressPromptsForRegisteredVolumes(registeredVolumeUUIDs(m_platform.files, m_platform.paths));
    refreshStatus();
}

void runAgent(Platform& platform, VolumePromptSuppression& marker, const FerrolatchAgent::CapabilityProbe& probe)
{
    std::unique_ptr<ExplicitUnlockService> unlockService;
    try {
        unlockService = ExplicitUnlockService::offer(platform.channels);
        if (!unlockService) {
            platform.out << agentAlreadyRunning << '\n';
            return;
        }
    } catch (const std::exception& failure) {
        // Commands then meet the guard as they would without an agent's help.
        platform.log.write(
            formatLogLine("Ferrolatch could not offer its unlock service to commands: %@", {failure.what()}));
    }
    platform.ui.prepareApplication();
    std::shared_ptr<FerrolatchAgent> agent = FerrolatchAgent::create(platform, marker, probe, std::move(unlockService));
    platform.mainLoop.run();
}

}
