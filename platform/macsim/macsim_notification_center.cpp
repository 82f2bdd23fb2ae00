#include "platform/macsim/macsim_notification_center.h"

#include "common/errors.h"
#include "common/virtual_mac_location.h"
#include "platform/macsim/sysroot_sockets.h"
#include "platform/posix/file_descriptor.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ferrolatch {

using nlohmann::json;

namespace {

const char* eventName(VolumeEventKind kind)
{
    switch (kind) {
    case VolumeEventKind::DidMount:
        return "did-mount";
    case VolumeEventKind::DidUnmount:
        return "did-unmount";
    case VolumeEventKind::DidRenameVolume:
        return "did-rename-volume";
    }
    return "did-mount";
}

std::optional<VolumeEventKind> eventKind(const std::string& name)
{
    for (VolumeEventKind kind :
         {VolumeEventKind::DidMount, VolumeEventKind::DidUnmount, VolumeEventKind::DidRenameVolume}) {
        if (name == eventName(kind))
            return kind;
    }
    return std::nullopt;
}

}

std::string distributedNotificationMessage(std::string_view name)
{
    return json {{"distributed", std::string(name)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string volumeEventMessage(VolumeEventKind kind, const std::string& path)
{
    return json {{"workspace", eventName(kind)}, {"path", path}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What the listening thread and tasks queued on the main loop share with the
// center; they hold it so that a notification arriving as the center goes
// away finds its observers gone rather than freed memory.
struct MacsimNotificationCenter::Shared {
    std::mutex mutex;
    Token lastToken = 0;
    std::map<Token, std::pair<std::string, Notifications::Observer>> named;
    std::map<Token, VolumeEvents::Observer> volumes;
    std::string socketPath;
    FileDescriptor socket;
    FileDescriptor wake;
    std::thread listener;
};

MacsimNotificationCenter::MacsimNotificationCenter(std::string sysroot, MainLoop& mainLoop)
    : m_sysroot(std::move(sysroot)), m_mainLoop(mainLoop), m_shared(std::make_shared<Shared>())
{
}

MacsimNotificationCenter::~MacsimNotificationCenter()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->named.clear();
        m_shared->volumes.clear();
    }
    if (m_shared->listener.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(m_shared->wake.get(), &one, sizeof one);
        m_shared->listener.join();
        ::unlink(m_shared->socketPath.c_str());
    }
}

void MacsimNotificationCenter::post(std::string_view name)
{
    sysroot_sockets::postToAll(sysroot_sockets::notificationDirectory(m_sysroot),
                               distributedNotificationMessage(name));
}

Notifications::Token MacsimNotificationCenter::observe(std::string_view name, Notifications::Observer observer)
{
    listen();
    std::lock_guard lock(m_shared->mutex);
    Token token = ++m_shared->lastToken;
    m_shared->named[token] = {std::string(name), std::move(observer)};
    return token;
}

VolumeEvents::Token MacsimNotificationCenter::observe(VolumeEvents::Observer observer)
{
    listen();
    std::lock_guard lock(m_shared->mutex);
    Token token = ++m_shared->lastToken;
    m_shared->volumes[token] = std::move(observer);
    return token;
}

void MacsimNotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->named.erase(token);
    m_shared->volumes.erase(token);
}

// The socket exists from the first observer on, so a process that observes
// nothing costs the posters nothing.
void MacsimNotificationCenter::listen()
{
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->listener.joinable())
        return;
    static std::atomic<unsigned> centers {0};
    std::string directory = sysroot_sockets::notificationDirectory(m_sysroot);
    // Nothing is written where no virtual Mac was made.
    if (::access(virtual_mac::stateFile(m_sysroot).c_str(), F_OK) != 0)
        throw PlatformError::fromErrno(ENOENT, "observe notifications");
    try {
        sysroot_sockets::makeDirectory(directory);
        m_shared->socketPath =
            directory + "/" + std::to_string(::getpid()) + "-" + std::to_string(++centers) + ".sock";
        m_shared->socket = sysroot_sockets::bindDatagram(m_shared->socketPath);
    } catch (const std::system_error& failure) {
        throw PlatformError::fromErrno(failure.code().value(), "observe notifications");
    }
    m_shared->wake = FileDescriptor(::eventfd(0, EFD_CLOEXEC));
    std::shared_ptr<Shared> shared = m_shared;
    MainLoop& loop = m_mainLoop;
    m_shared->listener = std::thread([shared, &loop] {
        while (sysroot_sockets::waitReadableUnlessWoken(shared->socket.get(), shared->wake.get())) {
            char buffer[65536];
            ssize_t count = ::recv(shared->socket.get(), buffer, sizeof buffer, 0);
            if (count <= 0)
                continue;
            json message = json::parse(std::string(buffer, static_cast<std::size_t>(count)), nullptr, false);
            if (!message.is_object())
                continue;
            if (message.contains("distributed") && message["distributed"].is_string()) {
                std::string name = message["distributed"];
                loop.post([shared, name] {
                    std::vector<Notifications::Observer> observers;
                    {
                        std::lock_guard held(shared->mutex);
                        for (const auto& [token, entry] : shared->named) {
                            if (entry.first == name)
                                observers.push_back(entry.second);
                        }
                    }
                    for (const auto& observer : observers)
                        observer();
                });
            } else if (message.contains("workspace") && message["workspace"].is_string() && message.contains("path")
                       && message["path"].is_string()) {
                auto kind = eventKind(message["workspace"]);
                if (!kind)
                    continue;
                VolumeEvent event {*kind, message["path"]};
                loop.post([shared, event] {
                    std::vector<VolumeEvents::Observer> observers;
                    {
                        std::lock_guard held(shared->mutex);
                        for (const auto& [token, observer] : shared->volumes)
                            observers.push_back(observer);
                    }
                    for (const auto& observer : observers)
                        observer(event);
                });
            }
        }
    });
}

}
