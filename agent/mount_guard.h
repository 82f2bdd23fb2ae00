#pragma once

#include "platform/disk_arbitration.h"
#include "platform/log.h"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ferrolatch {

// Keeps macOS from handling an enrolled encrypted volume on its own: refuses
// its automatic mount and claims it so that no other client (the system's
// password prompt among them) gets it first, except while the agent itself
// unlocks it. Decides by volume UUID alone, in canonical upper-case form.
class FerrolatchMountGuard {
public:
    static constexpr std::string_view callbackQueueLabel = "com.quorvel.ferrolatch.mount-approval";
    static constexpr std::string_view dissenterStatusString = "Ferrolatch handles this encrypted volume";

    // Fails with "Ferrolatch could not create a Disk Arbitration session":
    // the agent does not run without its guard.
    FerrolatchMountGuard(DiskArbitration& diskArbitration, Log& log, std::set<std::string> volumeUUIDs);
    ~FerrolatchMountGuard();

    FerrolatchMountGuard(const FerrolatchMountGuard&) = delete;
    FerrolatchMountGuard& operator=(const FerrolatchMountGuard&) = delete;

    void addEnrolledVolume(const std::string& uuid);
    void beginExplicitUnlock(const std::string& uuid);
    void endExplicitUnlock(const std::string& uuid);

    // Enrolled and not being unlocked by the agent.
    bool shouldBlock(const DiskReference& disk);

    // Disk Arbitration's entry points; the context is the guard.
    static void peekCallback(const DiskReference& disk, void* context);
    static std::optional<DiskDissenter> mountApprovalCallback(const DiskReference& disk, void* context);
    static void claimCallback(const DiskReference& disk, const std::optional<DiskDissenter>& dissenter, void* context);
    static std::optional<DiskDissenter> claimReleaseCallback(const DiskReference& disk, void* context);

private:
    std::unique_ptr<DiskArbitrationSession> m_session;
    Log& m_log;
    // A leaf lock: held only for set look-ups and changes, never across a
    // Disk Arbitration call or a log line.
    std::mutex m_stateLock;
    std::set<std::string> m_volumeUUIDs;
    std::set<std::string> m_allowedVolumeUUIDs;
};

}
