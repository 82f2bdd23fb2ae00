#pragma once

#include "platform/disk_arbitration.h"
#include "platform/log.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ferrolatch {

// Keeps macOS from handling an enrolled encrypted volume on its own: refuses
// its automatic mount and claims it so that no other client (the system's
// password prompt among them) gets it first, except while the agent itself,
// or a command of the user's, unlocks it. Decides by volume UUID alone, in
// canonical upper-case form.
class FerrolatchMountGuard {
    struct State;

public:
    static constexpr std::string_view callbackQueueLabel = "com.quorvel.ferrolatch.mount-approval";
    static constexpr std::string_view dissenterStatusString = "Ferrolatch handles this encrypted volume";

    // The window in which one volume's mount is let through; it closes when
    // the handle ends. Windows of the same volume may overlap (the agent's
    // own unlock and a command's): the volume stays allowed until the last
    // one closes. A handle that outlives its guard closes nothing.
    class ExplicitUnlock {
    public:
        ExplicitUnlock() = default;
        ExplicitUnlock(ExplicitUnlock&& other) noexcept;
        ExplicitUnlock& operator=(ExplicitUnlock&& other) noexcept;
        ~ExplicitUnlock() { end(); }

        // Closes the window now; later calls do nothing.
        void end();

    private:
        friend class FerrolatchMountGuard;
        ExplicitUnlock(std::weak_ptr<State> state, std::string uuid);

        std::weak_ptr<State> m_state;
        std::string m_uuid;
    };

    // Told, on the callback queue, the UUID of each volume Disk Arbitration
    // offers as it is attached, enrolled or not.
    using VolumeAppeared = std::function<void(const std::string& uuid)>;

    // Fails with "Ferrolatch could not create a Disk Arbitration session":
    // the agent does not run without its guard.
    FerrolatchMountGuard(DiskArbitration& diskArbitration, Log& log, std::set<std::string> volumeUUIDs,
                         VolumeAppeared volumeAppeared = {});
    ~FerrolatchMountGuard();

    FerrolatchMountGuard(const FerrolatchMountGuard&) = delete;
    FerrolatchMountGuard& operator=(const FerrolatchMountGuard&) = delete;

    void addEnrolledVolume(const std::string& uuid);
    // A drive the user told the Mac to forget is no longer guarded.
    void removeEnrolledVolume(const std::string& uuid);
    // The enrolled set becomes exactly these, as the registry now holds them.
    void setEnrolledVolumes(std::set<std::string> uuids);
    [[nodiscard]] ExplicitUnlock beginExplicitUnlock(const std::string& uuid);
    // Whether a window for the volume is open now.
    bool explicitUnlockInProgress(const std::string& uuid);

    // Enrolled and not being unlocked explicitly.
    bool shouldBlock(const DiskReference& disk);

    // Disk Arbitration's callbacks, run on the session's queue.
    void peekCallback(const DiskReference& disk);
    std::optional<DiskDissenter> mountApprovalCallback(const DiskReference& disk);
    void claimCallback(const DiskReference& disk, const std::optional<DiskDissenter>& dissenter);
    std::optional<DiskDissenter> claimReleaseCallback(const DiskReference& disk);

private:
    std::optional<std::string> volumeUUIDOf(const DiskReference& disk);
    bool blocks(const std::string& uuid);

    std::unique_ptr<DiskArbitrationSession> m_session;
    Log& m_log;
    VolumeAppeared m_volumeAppeared;
    std::shared_ptr<State> m_state;
    DiskArbitrationSession::Registration m_peekRegistration = 0;
    DiskArbitrationSession::Registration m_approvalRegistration = 0;
};

// What the guard's sets hold, shared with the handles of open windows.
struct FerrolatchMountGuard::State {
    // A leaf lock: held only for set look-ups and changes, never across a
    // Disk Arbitration call or a log line.
    std::mutex stateLock;
    std::set<std::string> volumeUUIDs;
    std::map<std::string, int> allowedVolumeUUIDs; // UUID -> open windows
};

}
