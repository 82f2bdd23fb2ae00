#pragma once

#include "platform/loopback_sockets.h"
#include "platform/posix/file_descriptor.h"

namespace ferrolatch {

class PosixLoopbackConnection final : public LoopbackConnection {
public:
    explicit PosixLoopbackConnection(FileDescriptor socket) : m_socket(std::move(socket)) {}
    std::size_t receive(std::span<std::uint8_t> buffer, double timeoutSeconds) override;
    std::size_t send(std::span<const std::uint8_t> bytes) override;

private:
    FileDescriptor m_socket;
};

class PosixLoopbackSockets final : public LoopbackSockets {
public:
    LoopbackListening listen(int backlog) override;
};

}
