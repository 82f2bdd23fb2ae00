#pragma once

#include "platform/local_channels.h"

#include <string>

namespace ferrolatch {

// The virtual Mac's per-user channel, a service of its own like its others:
// each user has a folder under the sysroot's private/var/run/macsim/users/,
// named by the user id and open to that user only (mode 0700), where an
// offered service listens on SERVICE.sock. SERVICE.lock beside it is locked
// by the offering process for as long as it offers, so a second offer of a
// live service is refused and one left by a dead process is taken over. A
// connection from another user's process is closed unanswered. Each
// service answers on a thread of its own, which blocks on its sockets.
class MacsimLocalChannels final : public LocalChannels {
public:
    MacsimLocalChannels(std::string sysroot, unsigned userID);

    std::unique_ptr<ChannelOffer> offer(std::string_view service, Handler handler) override;
    std::unique_ptr<ChannelConnection> connect(std::string_view service) override;

    // The user's folder of services.
    static std::string userDirectory(const std::string& sysroot, unsigned userID);

private:
    std::string m_sysroot;
    unsigned m_userID;
};

}
