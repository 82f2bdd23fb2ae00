#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace ferrolatch {

// One accepted connection on the loopback interface; closed on destruction.
class LoopbackConnection {
public:
    virtual ~LoopbackConnection() = default;
    // Waits at most timeoutSeconds for bytes and reads up to buffer.size() of
    // them. Zero means end of stream, silence for the whole wait, or an error.
    virtual std::size_t receive(std::span<std::uint8_t> buffer, double timeoutSeconds) = 0;
    // Writes what the peer takes now; zero when it is gone. A peer that closed
    // early must never end the program.
    virtual std::size_t send(std::span<const std::uint8_t> bytes) = 0;
};

// A listening socket on 127.0.0.1; closed on destruction.
class LoopbackListener {
public:
    virtual ~LoopbackListener() = default;
    virtual std::uint16_t port() const = 0;
    // Waits at most timeoutSeconds for a connection; null when none came or
    // accepting it failed.
    virtual std::unique_ptr<LoopbackConnection> accept(double timeoutSeconds) = 0;
};

// The step of setting up a listener that failed, so callers can say which.
enum class LoopbackSetupFailure { None, Socket, Bind, Address };

struct LoopbackListening {
    std::unique_ptr<LoopbackListener> listener; // null when failure is not None
    LoopbackSetupFailure failure = LoopbackSetupFailure::None;
};

// BSD sockets on the loopback interface.
class LoopbackSockets {
public:
    virtual ~LoopbackSockets() = default;
    // A stream socket bound to 127.0.0.1 on a port the system chooses, with
    // address reuse, listening with the given backlog.
    virtual LoopbackListening listen(int backlog) = 0;
};

}
