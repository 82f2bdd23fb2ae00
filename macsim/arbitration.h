#pragma once

#include "macsim/state.h"

#include <optional>
#include <string>
#include <vector>

namespace macsim {

// The system services a tool meets when it attaches or mounts: the Disk
// Arbitration sessions of the product's processes, the workspace's volume
// notifications and the APFS agent's password prompt. Each waits on a socket
// for its answer; a session that is gone is dropped, one that does not answer
// in time counts as consenting.
struct ArbitratedVolume {
    std::string device; // "disk5s2"
    std::string uuid;
};

// Offers the volume to every session and waits until each has seen it.
void peekSessions(const Sysroot& sysroot, const ArbitratedVolume& volume);

// Asks a claimer to release the volume, then every session to approve its
// mount. Empty when it may be mounted; else the dissenter's status string.
std::optional<std::string> mountDissent(const Sysroot& sysroot, const ArbitratedVolume& volume);

// Asks every session to approve the system's own attempt to mount a volume
// that arrived; a claim is not asked to give way to it. Empty when approved.
std::optional<std::string> automaticMountDissent(const Sysroot& sysroot, const ArbitratedVolume& volume);

bool isClaimed(const Sysroot& sysroot, const std::string& device);
// A disk that goes away takes its claim with it.
void dropClaim(const Sysroot& sysroot, const std::string& device);

enum class VolumeChange { Mounted, Unmounted, Renamed };
// Queues the workspace's notification; publishVolumeChanges sends what is
// queued to every observing process once the state the notifications describe
// is saved, so that an observer reading it then sees the change.
void postVolumeChange(const Sysroot& sysroot, VolumeChange change, const std::string& mountPoint);
void publishVolumeChanges(const Sysroot& sysroot);

// Posts a distributed notification by name, as any process of the Mac may.
void postDistributedNotification(const Sysroot& sysroot, const std::string& name);

// An agent started on demand closes this descriptor, named by this variable,
// once it listens.
inline constexpr int agentReadyDescriptor = 3;
inline constexpr const char* agentReadyVariable = "MACSIM_AGENT_READY_FD";

// Hands a locked volume to the user's APFS agent, started as launchd would
// start it when none runs, which prompts for its password unless the volume's
// preference says not to. Waits for its answer.
void offerToPasswordAgent(const Sysroot& sysroot, const std::string& uuid);

// The volume UUIDs the agent prompted for, in order.
std::vector<std::string> shownPasswordPrompts(const Sysroot& sysroot);

}
