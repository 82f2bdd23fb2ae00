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

DiskDissenter dissenter(std::uint32_t status)
{
    return {status, std::string(FerrolatchMountGuard::dissenterStatusString)};
}

}

FerrolatchMountGuard::ExplicitUnlock::ExplicitUnlock(std::weak_ptr<State> state, std::string uuid)
    : m_state(std::move(state)), m_uuid(std::move(uuid))
{
}

FerrolatchMountGuard::ExplicitUnlock::ExplicitUnlock(ExplicitUnlock&& other) noexcept
    : m_state(std::move(other.m_state)), m_uuid(std::move(other.m_uuid))
{
    other.m_state.reset();
}

FerrolatchMountGuard::ExplicitUnlock& FerrolatchMountGuard::ExplicitUnlock::operator=(ExplicitUnlock&& other) noexcept
{
    if (this != &other) {
        end();
        m_state = std::move(other.m_state);
        m_uuid = std::move(other.m_uuid);
        other.m_state.reset();
    }
    return *this;
}

void FerrolatchMountGuard::ExplicitUnlock::end()
{
    std::shared_ptr<State> state = m_state.lock();
    m_state.reset();
    if (!state)
        return;
    std::lock_guard lock(state->stateLock);
    auto open = state->allowedVolumeUUIDs.find(m_uuid);
    if (open != state->allowedVolumeUUIDs.end() && --open->second <= 0)
        state->allowedVolumeUUIDs.erase(open);
}

FerrolatchMountGuard::FerrolatchMountGuard(DiskArbitration& diskArbitration, Log& log,
                                           std::set<std::string> volumeUUIDs, VolumeAppeared volumeAppeared)
    : m_session(createSession(diskArbitration)), m_log(log), m_volumeAppeared(std::move(volumeAppeared)),
      m_state(std::make_shared<State>())
{
    m_state->volumeUUIDs = std::move(volumeUUIDs);
    m_peekRegistration = m_session->registerDiskPeekCallback([this](const DiskReference& disk) { peekCallback(disk); });
    m_approvalRegistration = m_session->registerDiskMountApprovalCallback(
        [this](const DiskReference& disk) { return mountApprovalCallback(disk); });
    // Callbacks may arrive from here on.
    m_session->setDispatchQueue(callbackQueueLabel);
}

FerrolatchMountGuard::~FerrolatchMountGuard()
{
    m_session->setDispatchQueue(std::nullopt);
    m_session->unregisterCallback(m_peekRegistration);
    m_session->unregisterCallback(m_approvalRegistration);
}

void FerrolatchMountGuard::addEnrolledVolume(const std::string& uuid)
{
    std::lock_guard lock(m_state->stateLock);
    m_state->volumeUUIDs.insert(uuid);
}

void FerrolatchMountGuard::removeEnrolledVolume(const std::string& uuid)
{
    std::lock_guard lock(m_state->stateLock);
    m_state->volumeUUIDs.erase(uuid);
}

void FerrolatchMountGuard::setEnrolledVolumes(std::set<std::string> uuids)
{
    std::lock_guard lock(m_state->stateLock);
    m_state->volumeUUIDs.swap(uuids);
}

FerrolatchMountGuard::ExplicitUnlock FerrolatchMountGuard::beginExplicitUnlock(const std::string& uuid)
{
    std::lock_guard lock(m_state->stateLock);
    ++m_state->allowedVolumeUUIDs[uuid];
    return ExplicitUnlock(m_state, uuid);
}

bool FerrolatchMountGuard::explicitUnlockInProgress(const std::string& uuid)
{
    std::lock_guard lock(m_state->stateLock);
    return m_state->allowedVolumeUUIDs.contains(uuid);
}

std::optional<std::string> FerrolatchMountGuard::volumeUUIDOf(const DiskReference& disk)
{
    std::optional<DiskDescription> description = m_session->copyDescription(disk);
    if (!description || !description->volumeUUID)
        return std::nullopt;
    return normalizedVolumeUUID(*description->volumeUUID);
}

bool FerrolatchMountGuard::blocks(const std::string& uuid)
{
    std::lock_guard lock(m_state->stateLock);
    return m_state->volumeUUIDs.contains(uuid) && !m_state->allowedVolumeUUIDs.contains(uuid);
}

bool FerrolatchMountGuard::shouldBlock(const DiskReference& disk)
{
    std::optional<std::string> uuid = volumeUUIDOf(disk);
    return uuid && blocks(*uuid);
}

void FerrolatchMountGuard::peekCallback(const DiskReference& disk)
{
    std::optional<std::string> uuid = volumeUUIDOf(disk);
    if (!uuid)
        return;
    if (m_volumeAppeared)
        m_volumeAppeared(*uuid);
    // A disk someone already claims is left alone: the guard never claims twice.
    if (blocks(*uuid) && !m_session->isClaimed(disk))
        m_session->claim(
            disk, [this](const DiskReference& released) { return claimReleaseCallback(released); },
            [this](const DiskReference& claimed, const std::optional<DiskDissenter>& refusal) {
                claimCallback(claimed, refusal);
            });
}

std::optional<DiskDissenter> FerrolatchMountGuard::mountApprovalCallback(const DiskReference& disk)
{
    if (!shouldBlock(disk))
        return std::nullopt;
    m_log.write("Ferrolatch blocked an automatic mount for an enrolled encrypted volume");
    return dissenter(kDAReturnNotPermitted);
}

void FerrolatchMountGuard::claimCallback(const DiskReference&, const std::optional<DiskDissenter>& refusal)
{
    m_log.write(refusal ? "Ferrolatch could not claim an enrolled encrypted volume"
                        : "Ferrolatch claimed an enrolled encrypted volume before automatic handling");
}

std::optional<DiskDissenter> FerrolatchMountGuard::claimReleaseCallback(const DiskReference& disk)
{
    if (shouldBlock(disk)) {
        m_log.write("Ferrolatch retained its disk claim to suppress the generic APFS unlock prompt");
        return dissenter(kDAReturnExclusiveAccess);
    }
    m_log.write("Ferrolatch released its disk claim for an explicit unlock");
    return std::nullopt;
}

}
