#pragma once

#include "agent/mount_guard.h"
#include "platform/local_channels.h"

#include <memory>
#include <mutex>
#include <string_view>

namespace ferrolatch {

// The agent's end of the user's channel. Offering it makes the agent the
// user's only one; through it a command of the user's asks the guard to let
// one volume mount while that command unlocks it. Requests are answered on
// the channel's own thread, so a scan or an alert on the main loop never
// keeps a command waiting.
class ExplicitUnlockService {
public:
    // None when another agent of this user offers the service already.
    static std::unique_ptr<ExplicitUnlockService> offer(LocalChannels& channels);

    // Windows are opened through this guard from now on; none refuses them.
    void serve(FerrolatchMountGuard* guard);

private:
    ExplicitUnlockService() = default;
    ChannelReply answer(std::string_view request);

    std::mutex m_mutex;
    FerrolatchMountGuard* m_guard = nullptr;
    // Last, so that it stops answering before the rest goes.
    std::unique_ptr<ChannelOffer> m_offer;
};

}
