#include "platform/posix/posix_loopback_sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace ferrolatch {

namespace {

timeval timevalOf(double seconds)
{
    // A zero timeout would mean "wait forever" to SO_RCVTIMEO.
    double clamped = std::max(seconds, 0.001);
    timeval value {};
    value.tv_sec = static_cast<time_t>(std::floor(clamped));
    value.tv_usec = static_cast<suseconds_t>((clamped - std::floor(clamped)) * 1e6);
    if (value.tv_sec == 0 && value.tv_usec == 0)
        value.tv_usec = 1000;
    return value;
}

class PosixLoopbackListener final : public LoopbackListener {
public:
    PosixLoopbackListener(FileDescriptor socket, std::uint16_t port) : m_socket(std::move(socket)), m_port(port) {}

    std::uint16_t port() const override { return m_port; }

    std::unique_ptr<LoopbackConnection> accept(double timeoutSeconds) override
    {
        pollfd waiting {m_socket.get(), POLLIN, 0};
        int milliseconds = static_cast<int>(std::max(0.0, std::ceil(timeoutSeconds * 1000.0)));
        if (::poll(&waiting, 1, milliseconds) <= 0 || !(waiting.revents & POLLIN))
            return nullptr;
        FileDescriptor connection(::accept4(m_socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.isOpen())
            return nullptr;
        return std::make_unique<PosixLoopbackConnection>(std::move(connection));
    }

private:
    FileDescriptor m_socket;
    std::uint16_t m_port;
};

}

std::size_t PosixLoopbackConnection::receive(std::span<std::uint8_t> buffer, double timeoutSeconds)
{
    timeval timeout = timevalOf(timeoutSeconds);
    ::setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ssize_t count;
    do
        count = ::recv(m_socket.get(), buffer.data(), buffer.size(), 0);
    while (count < 0 && errno == EINTR);
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

std::size_t PosixLoopbackConnection::send(std::span<const std::uint8_t> bytes)
{
    // MSG_NOSIGNAL: a browser that closed its end gives EPIPE, not SIGPIPE.
    ssize_t count;
    do
        count = ::send(m_socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    while (count < 0 && errno == EINTR);
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

LoopbackListening PosixLoopbackSockets::listen(int backlog)
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isOpen())
        return {nullptr, LoopbackSetupFailure::Socket};
    int reuse = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(socket.get(), backlog) != 0)
        return {nullptr, LoopbackSetupFailure::Bind};

    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return {nullptr, LoopbackSetupFailure::Address};
    return {std::make_unique<PosixLoopbackListener>(std::move(socket), ntohs(bound.sin_port)),
            LoopbackSetupFailure::None};
}

}
