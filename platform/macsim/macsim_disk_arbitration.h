#pragma once

#include "platform/disk_arbitration.h"

#include <string>

namespace ferrolatch {

// The virtual Mac's Disk Arbitration. A session listens on a Unix socket of
// its own under the sysroot (see sysroot_sockets.h) from its creation until
// its end; the stand-in tools connect to every session to peek, to ask mount
// approval and to ask a claimer for release. Once scheduled, a session's
// callbacks run one at a time on its own thread; unscheduled, it consents to
// everything. Claims are files beside the sessions, never the machine's
// state, so a callback may claim while a tool holds the machine's lock.
class MacsimDiskArbitration final : public DiskArbitration {
public:
    explicit MacsimDiskArbitration(std::string sysroot) : m_sysroot(std::move(sysroot)) {}

    // None when the session's socket cannot be made (no virtual Mac).
    std::unique_ptr<DiskArbitrationSession> createSession() override;

private:
    std::string m_sysroot;
};

}
