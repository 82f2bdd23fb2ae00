#pragma once

#include "platform/main_loop.h"
#include "platform/notifications.h"
#include "platform/volume_events.h"

#include <memory>
#include <string>

namespace ferrolatch {

// The virtual Mac's notification centers, distributed and workspace alike.
// A process that observes anything binds a datagram socket of its own under
// the sysroot (see sysroot_sockets.h); a poster sends each notification to
// every such socket, and a thread of the observing process, blocked on its
// socket, hands it to the observers on the main loop. The stand-in tools post
// the workspace's volume notifications the same way.
class MacsimNotificationCenter final : public Notifications, public VolumeEvents {
public:
    using Token = unsigned long;

    MacsimNotificationCenter(std::string sysroot, MainLoop& mainLoop);
    ~MacsimNotificationCenter() override;

    void post(std::string_view name) override;
    Token observe(std::string_view name, Notifications::Observer observer) override;
    Token observe(VolumeEvents::Observer observer) override;
    // Either kind of observer: tokens are unique across both.
    void removeObserver(Token token) override;

private:
    struct Shared;
    void listen();

    std::string m_sysroot;
    MainLoop& m_mainLoop;
    std::shared_ptr<Shared> m_shared;
};

// The wire forms of the two kinds, shared with the stand-ins that post.
std::string distributedNotificationMessage(std::string_view name);
std::string volumeEventMessage(VolumeEventKind kind, const std::string& path);

}
