#include "agent/mount_guard.h"

#include "agent/mount_guard_uuid.h"
#include "common/errors.h"

namespace ferrolatch {

namespace {

std::unique_ptr<DiskArbitrationSession> createSession(DiskArbitration& diskArbitration)
{
    std::unique_ptr<DiskArbitrationSession> session = diskArbitration.createSession();
    if (!session)
        throw ProofError("Ferrolatch could not create a Disk Arbitration session");
    return session;
}

FerrolatchMountGuard* guardOf(void* context)
{
    return static_cast<FerrolatchMountGuard*>(context);
}

DiskDissenter dissenter(std::uint32_t status)
{
    return {status, std::string(FerrolatchMountGuard::dissenterStatusString)};
}

}

FerrolatchMountGuard::FerrolatchMountGuard(DiskArbitration& diskArbitration, Log& log,
                                           std::set<std::string> volumeUUIDs)
    : m_session(createSession(diskArbitration)), m_log(log), m_volumeUUIDs(std::move(volumeUUIDs))
{
    m_session->registerDiskPeekCallback(peekCallback, this);
    m_session->registerDiskMountApprovalCallback(mountApprovalCallback, this);
    // Callbacks may arrive from here on.
    m_session->setDispatchQueue(callbackQueueLabel);
}

FerrolatchMountGuard::~FerrolatchMountGuard()
{
    m_session->setDispatchQueue(std::nullopt);
    m_session->unregisterCallback(peekCallback, this);
    m_session->unregisterCallback(mountApprovalCallback, this);
}

void FerrolatchMountGuard::addEnrolledVolume(const std::string& uuid)
{
    std::lock_guard lock(m_stateLock);
    m_volumeUUIDs.insert(uuid);
}

void FerrolatchMountGuard::beginExplicitUnlock(const std::string& uuid)
{
    std::lock_guard lock(m_stateLock);
    m_allowedVolumeUUIDs.insert(uuid);
}

void FerrolatchMountGuard::endExplicitUnlock(const std::string& uuid)
{
    std::lock_guard lock(m_stateLock);
    m_allowedVolumeUUIDs.erase(uuid);
}

bool FerrolatchMountGuard::shouldBlock(const DiskReference& disk)
{
    std::optional<DiskDescription> description = m_session->copyDescription(disk);
    if (!description || !description->volumeUUID)
        return false;
    std::optional<std::string> uuid = normalizedVolumeUUID(*description->volumeUUID);
    if (!uuid)
        return false;
    std::lock_guard lock(m_stateLock);
    return m_volumeUUIDs.contains(*uuid) && !m_allowedVolumeUUIDs.contains(*uuid);
}

void FerrolatchMountGuard::peekCallback(const DiskReference& disk, void* context)
{
    FerrolatchMountGuard* guard = guardOf(context);
    if (!guard)
        return;
    // A disk someone already claims is left alone: the guard never claims twice.
    if (guard->shouldBlock(disk) && !guard->m_session->isClaimed(disk))
        guard->m_session->claim(disk, claimReleaseCallback, guard, claimCallback, guard);
}

std::optional<DiskDissenter> FerrolatchMountGuard::mountApprovalCallback(const DiskReference& disk, void* context)
{
    FerrolatchMountGuard* guard = guardOf(context);
    if (!guard || !guard->shouldBlock(disk))
        return std::nullopt;
    guard->m_log.write("Ferrolatch blocked an automatic mount for an enrolled encrypted volume");
    return dissenter(kDAReturnNotPermitted);
}

void FerrolatchMountGuard::claimCallback(const DiskReference&, const std::optional<DiskDissenter>& dissenter,
                                         void* context)
{
    FerrolatchMountGuard* guard = guardOf(context);
    if (!guard)
        return;
    guard->m_log.write(dissenter ? "Ferrolatch could not claim an enrolled encrypted volume"
                                 : "Ferrolatch claimed an enrolled encrypted volume before automatic handling");
}

std::optional<DiskDissenter> FerrolatchMountGuard::claimReleaseCallback(const DiskReference& disk, void* context)
{
    FerrolatchMountGuard* guard = guardOf(context);
    if (!guard)
        return std::nullopt;
    if (guard->shouldBlock(disk)) {
        guard->m_log.write("Ferrolatch retained its disk claim to suppress the generic APFS unlock prompt");
        return dissenter(kDAReturnExclusiveAccess);
    }
    guard->m_log.write("Ferrolatch released its disk claim for an explicit unlock");
    return std::nullopt;
}

}
