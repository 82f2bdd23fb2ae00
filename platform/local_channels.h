#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// What a service answers one request with. `keep` is held for the requester
// until it hangs up (closes its connection or its process ends) or until
// `keepAtMost` has passed, whichever comes first; then it is released.
struct ChannelReply {
    std::string text;
    std::shared_ptr<void> keep;
    std::chrono::milliseconds keepAtMost {0};
};

// A service offered on the channel; it ends, releasing everything it keeps
// for its requesters, when this goes.
class ChannelOffer {
public:
    virtual ~ChannelOffer() = default;
};

// One requester's connection to a service; it hangs up when this goes.
class ChannelConnection {
public:
    virtual ~ChannelConnection() = default;
    // Sends one line and waits at most `timeout` for the one-line reply; none
    // when the service did not answer in time or has gone.
    virtual std::optional<std::string> request(std::string_view text, std::chrono::milliseconds timeout) = 0;
};

// A local channel between the processes of one user (on a Mac, a Mach
// service of the user's session): a process offers a named service, others
// of the same user connect to it. No other user's process can reach it.
// Requests and replies are single lines of text.
class LocalChannels {
public:
    // Called on the channel's own thread, one request at a time, never on
    // the main loop: a service must answer while its process is busy.
    using Handler = std::function<ChannelReply(std::string_view request)>;

    virtual ~LocalChannels() = default;

    // Offers the service under a name of letters, digits, dots and hyphens;
    // none when a live process of this user offers it already. Fails with the
    // platform's error when it cannot be offered at all.
    virtual std::unique_ptr<ChannelOffer> offer(std::string_view service, Handler handler) = 0;
    // A connection to the service; none when no process offers it.
    virtual std::unique_ptr<ChannelConnection> connect(std::string_view service) = 0;
};

}
