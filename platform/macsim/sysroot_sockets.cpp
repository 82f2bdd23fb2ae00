#include "platform/macsim/sysroot_sockets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace ferrolatch::sysroot_sockets {

namespace {

std::string runDirectory(const std::string& sysroot)
{
    return sysroot + "/private/var/run/macsim";
}

// A socket's address. A path longer than an address holds (a sysroot deep
// in a home folder) is reached through its folder's descriptor instead,
// which stays open for as long as the address is used.
struct SocketAddress {
    sockaddr_un address {};
    FileDescriptor folder;
};

SocketAddress addressOf(const std::string& path)
{
    SocketAddress socket;
    socket.address.sun_family = AF_UNIX;
    std::string reachable = path;
    if (path.size() >= sizeof socket.address.sun_path) {
        std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
        socket.folder = FileDescriptor(::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!socket.folder.isOpen())
            throw std::system_error(errno, std::generic_category(), path);
        reachable = "/proc/self/fd/" + std::to_string(socket.folder.get()) + path.substr(slash);
        if (reachable.size() >= sizeof socket.address.sun_path)
            throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
    }
    std::memcpy(socket.address.sun_path, reachable.c_str(), reachable.size() + 1);
    return socket;
}

FileDescriptor boundSocket(const std::string& path, int type)
{
    SocketAddress target = addressOf(path);
    const sockaddr_un& address = target.address;
    FileDescriptor socket(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!socket.isOpen())
        throw std::system_error(errno, std::generic_category(), "socket");
    ::unlink(path.c_str());
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::system_error(errno, std::generic_category(), path);
    return socket;
}

}

std::string sessionDirectory(const std::string& sysroot)
{
    return runDirectory(sysroot) + "/arbitration";
}

std::string claimDirectory(const std::string& sysroot)
{
    return runDirectory(sysroot) + "/claims";
}

std::string notificationDirectory(const std::string& sysroot)
{
    return runDirectory(sysroot) + "/notifications";
}

std::string agentDirectory(const std::string& sysroot)
{
    return runDirectory(sysroot) + "/apfs-agent";
}

std::string promptLog(const std::string& sysroot)
{
    return sysroot + "/private/var/log/macsim/prompts.jsonl";
}

void makeDirectory(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(), prefix);
        if (slash == std::string::npos)
            return;
    }
}

FileDescriptor listenStream(const std::string& path)
{
    FileDescriptor socket = boundSocket(path, SOCK_STREAM);
    if (::listen(socket.get(), 64) != 0)
        throw std::system_error(errno, std::generic_category(), path);
    return socket;
}

FileDescriptor bindDatagram(const std::string& path)
{
    return boundSocket(path, SOCK_DGRAM);
}

std::vector<std::string> socketsIn(const std::string& directory)
{
    std::vector<std::string> sockets;
    DIR* listing = ::opendir(directory.c_str());
    if (!listing)
        return sockets;
    while (dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0)
            sockets.push_back(directory + "/" + name);
    }
    ::closedir(listing);
    std::sort(sockets.begin(), sockets.end());
    return sockets;
}

std::optional<FileDescriptor> connectStream(const std::string& path)
{
    SocketAddress target;
    try {
        target = addressOf(path);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    const sockaddr_un& address = target.address;
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isOpen())
        return std::nullopt;
    int result;
    do {
        result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return socket;
    // Refused: the socket's process is gone and left its file behind.
    if (errno == ECONNREFUSED)
        ::unlink(path.c_str());
    return std::nullopt;
}

bool waitReadableUnlessWoken(int fd, int wake)
{
    for (;;) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        return watched[1].revents == 0;
    }
}

bool sendLine(int fd, const std::string& line)
{
    std::string framed = line + "\n";
    std::size_t sent = 0;
    while (sent < framed.size()) {
        ssize_t count = ::send(fd, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

namespace {

std::optional<std::string> readLineUntil(int fd, std::optional<std::chrono::steady_clock::time_point> deadline,
                                         std::string& pending)
{
    for (;;) {
        if (std::size_t end = pending.find('\n'); end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        int wait = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            wait = static_cast<int>(left.count());
        }
        pollfd watched {fd, POLLIN, 0};
        int ready = ::poll(&watched, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[4096];
        ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        pending.append(buffer, static_cast<std::size_t>(count));
    }
}

}

std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout, std::string& pending)
{
    return readLineUntil(fd, std::chrono::steady_clock::now() + timeout, pending);
}

std::optional<std::string> readLine(int fd, std::string& pending)
{
    return readLineUntil(fd, std::nullopt, pending);
}

int postToAll(const std::string& directory, const std::string& message)
{
    FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.isOpen())
        return 0;
    // A receiver that stopped reading must not stall the poster for long.
    timeval limit {1, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int delivered = 0;
    for (const std::string& path : socketsIn(directory)) {
        SocketAddress target;
        try {
            target = addressOf(path);
        } catch (const std::system_error&) {
            continue;
        }
        const sockaddr_un& address = target.address;
        ssize_t sent;
        do {
            sent = ::sendto(socket.get(), message.data(), message.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (sent < 0 && errno == EINTR);
        if (sent >= 0)
            ++delivered;
        else if (errno == ECONNREFUSED)
            ::unlink(path.c_str()); // its process is gone
    }
    return delivered;
}

bool processAlive(long pid)
{
    if (pid <= 0)
        return false;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0)
            return line.find('Z') == std::string::npos && line.find('X') == std::string::npos;
    }
    return false;
}

}
