#pragma once

#include "agent/drive_scanner.h"
#include "agent/explicit_unlock_service.h"
#include "agent/menu_controller.h"
#include "agent/mount_guard.h"
#include "agent/status_snapshot.h"
#include "agent/tray_state.h"
#include "crypto/drive_registry.h"
#include "platform/platform.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ferrolatch {

inline constexpr std::string_view agentAlreadyRunning = "Ferrolatch is already running in the menu bar.";

// The menu-bar agent: it owns the mount guard, the drive scanner and the
// menu, takes one snapshot of the Mac per refresh for them, and runs the
// timers and observations that drive them: volume mounts and unmounts, the
// registry, the system APFS agent's file. Everything runs on the main loop;
// delayed tasks and observers hold the agent weakly.
class FerrolatchAgent final : public std::enable_shared_from_this<FerrolatchAgent> {
public:
    // Whether the system APFS agent honours the per-volume prompt suppression.
    using CapabilityProbe = std::function<bool()>;

    // Builds the agent in its order, shows the icon and menu, observes volume
    // mounts and queues the first scan. `marker` writes the per-volume marker
    // without probing: the agent probes once, and again only when the system
    // APFS agent's file changes. Fails when no Disk Arbitration session can
    // be had: the agent does not run without its guard.
    static std::shared_ptr<FerrolatchAgent> create(Platform& platform, VolumePromptSuppression& marker,
                                                   CapabilityProbe probe,
                                                   std::unique_ptr<ExplicitUnlockService> unlockService = nullptr);
    ~FerrolatchAgent();

    FerrolatchAgent(const FerrolatchAgent&) = delete;
    FerrolatchAgent& operator=(const FerrolatchAgent&) = delete;

    void volumeDidMount();
    void volumeDidUnmount();
    void scanForDrives(DriveScanner::Trigger trigger = DriveScanner::Trigger::Automatic);
    void refreshStatus();
    // The registry changed (a drive set up or forgotten): the guard follows it.
    void registryDidChange();
    // The system APFS agent's file changed: the capability is probed again.
    void apfsAgentDidChange();

    bool scanning() const { return m_scanner->scanning(); }
    bool promptSuppressionAvailable() const { return m_promptSuppressionAvailable; }
    FerrolatchMountGuard& mountGuard() { return *m_mountGuard; }
    MenuController& menu() { return *m_menu; }
    const std::string& statusLine() const { return m_menu->statusLine(); }
    std::optional<TrayState> trayState() const { return m_menu->trayState(); }

private:
    // Keeps the system prompt away with the capability the agent probed.
    class ProbedSuppression final : public VolumePromptSuppression {
    public:
        ProbedSuppression(VolumePromptSuppression& marker, const bool& available, bool lenient)
            : m_marker(marker), m_available(available), m_lenient(lenient)
        {
        }
        bool install(std::string_view volumeUUID) override;
        void dismissStaleAgent() override { m_marker.dismissStaleAgent(); }

    private:
        VolumePromptSuppression& m_marker;
        const bool& m_available;
        bool m_lenient;
    };

    struct Construction {};

public:
    FerrolatchAgent(Construction, Platform& platform, VolumePromptSuppression& marker, CapabilityProbe probe);

private:
    void suppressPromptsForRegisteredVolumes(const std::set<std::string>& uuids);
    StatusSnapshot snapshot();
    void publishSidebarCatalog(const std::set<std::string>& uuids);
    // Runs a task on the agent after a delay, or from another observer, if it still exists.
    std::function<void()> whileAlive(std::function<void(FerrolatchAgent&)> task);
    std::shared_ptr<DelayedTask> after(double seconds, void (FerrolatchAgent::*task)());
    void observe();

    Platform& m_platform;
    CapabilityProbe m_probe;
    bool m_promptSuppressionAvailable = false;
    // At start a missing capability is reported per volume; a drive found by
    // a scan is registered without the marker, and the guard's claim keeps
    // the system's prompt away while the agent runs.
    ProbedSuppression m_startSuppression;
    ProbedSuppression m_scanSuppression;
    std::shared_ptr<MenuController> m_menu;
    std::unique_ptr<FerrolatchMountGuard> m_mountGuard;
    std::unique_ptr<DriveScanner> m_scanner;
    // After the guard, which it opens windows of: it stops answering first.
    std::unique_ptr<ExplicitUnlockService> m_unlockService;
    std::shared_ptr<DelayedTask> m_unmountRefreshWorkItem;
    std::optional<VolumeEvents::Token> m_volumeObserver;
    std::vector<FileEvents::Token> m_fileObservers;
};

// The no-argument start: an accessory application showing the agent until
// "Quit Ferrolatch" ends the main loop. A second agent of the same user says
// so in one line and leaves the first one running.
void runAgent(Platform& platform, VolumePromptSuppression& marker, const FerrolatchAgent::CapabilityProbe& probe);

}
