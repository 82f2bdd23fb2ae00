#include "platform/macsim/macsim_local_channels.h"

#include "common/errors.h"
#include "platform/macsim/sysroot_sockets.h"
#include "platform/posix/file_descriptor.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <list>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ferrolatch {

namespace {

using Clock = std::chrono::steady_clock;

// A request is one short line; anything longer is not ours.
constexpr std::size_t longestRequest = 4096;

bool isServiceName(std::string_view service)
{
    return !service.empty() && service.front() != '.' && std::all_of(service.begin(), service.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
}

void refuseServiceName(std::string_view service)
{
    if (!isServiceName(service))
        throw PlatformError::fromErrno(EINVAL, "no such local service name: " + std::string(service));
}

class Offer final : public ChannelOffer {
public:
    Offer(FileDescriptor lock, std::string socketPath, LocalChannels::Handler handler)
        : m_lock(std::move(lock)), m_socketPath(std::move(socketPath)), m_handler(std::move(handler)),
          m_listener(sysroot_sockets::listenStream(m_socketPath)), m_wake(::eventfd(0, EFD_CLOEXEC))
    {
        if (!m_wake.isOpen())
            throw PlatformError::fromErrno(errno, "could not offer " + m_socketPath);
        m_thread = std::thread([this] { serve(); });
    }

    ~Offer() override
    {
        std::uint64_t one = 1;
        (void)!::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
        // Gone before the lock is let go, so a later offer binds afresh.
        ::unlink(m_socketPath.c_str());
    }

private:
    struct Kept {
        std::shared_ptr<void> value;
        Clock::time_point until;
    };
    struct Client {
        FileDescriptor socket;
        std::string pending;
        std::list<Kept> kept;
    };

    void serve()
    {
        for (;;) {
            releaseExpired();
            std::vector<pollfd> watched {{m_wake.get(), POLLIN, 0}, {m_listener.get(), POLLIN, 0}};
            for (Client& client : m_clients)
                watched.push_back({client.socket.get(), POLLIN, 0});
            if (::poll(watched.data(), watched.size(), timeout()) < 0 && errno != EINTR)
                return;
            if (watched[0].revents)
                return;
            auto client = m_clients.begin();
            for (std::size_t index = 2; index < watched.size(); ++index) {
                auto current = client++;
                if (watched[index].revents && !read(*current))
                    m_clients.erase(current); // hung up: what it was kept for goes
            }
            if (watched[1].revents)
                accept();
        }
    }

    // Until the next kept value falls due; forever when none is kept.
    int timeout() const
    {
        std::optional<Clock::time_point> next;
        for (const Client& client : m_clients)
            for (const Kept& kept : client.kept)
                next = next ? std::min(*next, kept.until) : kept.until;
        if (!next)
            return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
    }

    void releaseExpired()
    {
        Clock::time_point now = Clock::now();
        for (Client& client : m_clients)
            client.kept.remove_if([&](const Kept& kept) { return kept.until <= now; });
    }

    void accept()
    {
        FileDescriptor socket(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!socket.isOpen())
            return;
        // Only the user's own processes: another user's is hung up on at once.
        ucred peer {};
        socklen_t size = sizeof peer;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid())
            return;
        m_clients.push_back({std::move(socket), {}, {}});
    }

    // False when the client has gone or broke the framing.
    bool read(Client& client)
    {
        char buffer[1024];
        ssize_t count = ::recv(client.socket.get(), buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            return true;
        if (count <= 0)
            return false;
        client.pending.append(buffer, static_cast<std::size_t>(count));
        for (std::size_t end; (end = client.pending.find('\n')) != std::string::npos;) {
            std::string request = client.pending.substr(0, end);
            client.pending.erase(0, end + 1);
            ChannelReply reply = answer(request);
            if (reply.keep)
                client.kept.push_back({std::move(reply.keep), Clock::now() + reply.keepAtMost});
            if (!sysroot_sockets::sendLine(client.socket.get(), reply.text))
                return false;
        }
        return client.pending.size() <= longestRequest;
    }

    ChannelReply answer(const std::string& request)
    {
        try {
            ChannelReply reply = m_handler(request);
            if (reply.text.find('\n') != std::string::npos)
                reply.text.clear();
            return reply;
        } catch (const std::exception&) {
            return {};
        }
    }

    FileDescriptor m_lock;
    std::string m_socketPath;
    LocalChannels::Handler m_handler;
    FileDescriptor m_listener;
    FileDescriptor m_wake;
    std::list<Client> m_clients; // touched by the serving thread only
    std::thread m_thread;
};

class Connection final : public ChannelConnection {
public:
    explicit Connection(FileDescriptor socket) : m_socket(std::move(socket)) {}

    std::optional<std::string> request(std::string_view text, std::chrono::milliseconds timeout) override
    {
        if (text.find('\n') != std::string_view::npos || !sysroot_sockets::sendLine(m_socket.get(), std::string(text)))
            return std::nullopt;
        return sysroot_sockets::readLine(m_socket.get(), timeout, m_pending);
    }

private:
    FileDescriptor m_socket;
    std::string m_pending;
};

}

MacsimLocalChannels::MacsimLocalChannels(std::string sysroot, unsigned userID)
    : m_sysroot(std::move(sysroot)), m_userID(userID)
{
}

std::string MacsimLocalChannels::userDirectory(const std::string& sysroot, unsigned userID)
{
    return sysroot + "/private/var/run/macsim/users/" + std::to_string(userID);
}

std::unique_ptr<ChannelOffer> MacsimLocalChannels::offer(std::string_view service, Handler handler)
{
    refuseServiceName(service);
    std::string directory = userDirectory(m_sysroot, m_userID);
    try {
        sysroot_sockets::makeDirectory(directory);
    } catch (const std::system_error& failure) {
        throw PlatformError::fromErrno(failure.code().value(), "could not offer " + std::string(service));
    }
    // The user's alone, whatever made the folder.
    if (::chmod(directory.c_str(), 0700) != 0)
        throw PlatformError::fromErrno(errno, "could not offer " + std::string(service));
    std::string base = directory + "/" + std::string(service);
    FileDescriptor lock(::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock.isOpen())
        throw PlatformError::fromErrno(errno, "could not offer " + std::string(service));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return nullptr;
        throw PlatformError::fromErrno(errno, "could not offer " + std::string(service));
    }
    try {
        return std::make_unique<Offer>(std::move(lock), base + ".sock", std::move(handler));
    } catch (const std::system_error& failure) {
        throw PlatformError::fromErrno(failure.code().value(), "could not offer " + std::string(service));
    }
}

std::unique_ptr<ChannelConnection> MacsimLocalChannels::connect(std::string_view service)
{
    if (!isServiceName(service))
        return nullptr;
    std::string path = userDirectory(m_sysroot, m_userID) + "/" + std::string(service) + ".sock";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return nullptr;
    std::optional<FileDescriptor> socket = sysroot_sockets::connectStream(path);
    if (!socket)
        return nullptr;
    return std::make_unique<Connection>(std::move(*socket));
}

}
