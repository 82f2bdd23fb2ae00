#include "platform/macsim/macsim_status_item.h"

#include "common/errors.h"
#include "common/virtual_mac_location.h"
#include "platform/posix/atomic_write.h"
#include "platform/posix/file_descriptor.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ferrolatch {

namespace {

using nlohmann::json;

constexpr std::size_t longestRequest = 4096;

// One line from a client that may be slow or silent; empty on failure.
std::string readRequest(int fd)
{
    timeval timeout {2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string request;
    char buffer[512];
    while (request.size() < longestRequest && request.find('\n') == std::string::npos) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    return request.substr(0, request.find('\n'));
}

std::string clickedTitle(const std::string& request)
{
    json message = json::parse(request, nullptr, false);
    if (message.is_object() && message.contains("click") && message["click"].is_string())
        return message["click"].get<std::string>();
    return {};
}

}

struct MacsimStatusItem::Listener {
    FileDescriptor socket;
    std::string socketPath;
    std::thread thread;
};

MacsimStatusItem::MacsimStatusItem(std::string sysroot, std::string processName, MainLoop& loop)
    : m_directory(virtual_mac::menuBarDirectory(sysroot)), m_processName(std::move(processName)), m_loop(loop),
      m_self(std::make_shared<MacsimStatusItem*>(this))
{
}

MacsimStatusItem::~MacsimStatusItem()
{
    m_self.reset();
    if (m_listener) {
        // Wakes the accept that the thread blocks in.
        ::shutdown(m_listener->socket.get(), SHUT_RDWR);
        if (m_listener->thread.joinable())
            m_listener->thread.join();
        ::unlink(m_listener->socketPath.c_str());
    }
    if (m_shown)
        ::unlink((m_directory + "/" + std::to_string(::getpid()) + ".json").c_str());
}

bool MacsimStatusItem::canLoadImage(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::string bytes(65536, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes.find("<svg") != std::string::npos && bytes.find("</svg>") != std::string::npos;
}

void MacsimStatusItem::setButton(const StatusButton& button)
{
    m_button = button;
    publish();
}

void MacsimStatusItem::setMenu(Menu menu, MenuDelegate* delegate)
{
    m_menu = std::move(menu);
    m_delegate = delegate;
    publish();
}

void MacsimStatusItem::publish()
{
    if (!m_shown) {
        std::error_code ignored;
        std::filesystem::create_directories(m_directory, ignored);
        m_shown = true;
        listen();
    }
    json rows = json::array();
    for (const MenuRow& row : m_menu.rows) {
        if (row.kind == MenuRow::Kind::Separator)
            rows.push_back({{"separator", true}});
        else
            rows.push_back({{"title", row.title}, {"enabled", row.enabled && row.action != nullptr},
                            {"checked", row.checked}, {"key", row.keyEquivalent}, {"tag", row.tag}});
    }
    json state = {{"pid", ::getpid()},
                  {"process", m_processName},
                  {"icon", m_button.image ? json(m_button.image->resourceName) : json(nullptr)},
                  {"title", m_button.title},
                  {"toolTip", m_button.toolTip},
                  {"rows", rows},
                  {"socket", m_listener ? json(m_listener->socketPath) : json(nullptr)}};
    // A refresh that changes nothing leaves the file alone.
    std::string text = state.dump();
    if (text == m_published)
        return;
    int error = writeThroughTemporary(m_directory + "/" + std::to_string(::getpid()) + ".json", text, 0644);
    if (error != 0)
        throw PlatformError::fromErrno(error, "cannot publish the status item in " + m_directory);
    m_published = std::move(text);
}

void MacsimStatusItem::listen()
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::string path = m_directory + "/" + std::to_string(::getpid()) + ".sock";
    // A sysroot too deep for a socket address shows its item without taking clicks.
    if (path.size() >= sizeof address.sun_path)
        return;
    path.copy(address.sun_path, path.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.isOpen())
        throw PlatformError::fromErrno(errno, "cannot create the menu bar's socket");
    ::unlink(path.c_str());
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::listen(socket.get(), 8) != 0)
        throw PlatformError::fromErrno(errno, "cannot listen on " + path);

    m_listener = std::make_unique<Listener>();
    m_listener->socket = std::move(socket);
    m_listener->socketPath = path;
    int listening = m_listener->socket.get();
    std::weak_ptr<MacsimStatusItem*> weak = m_self;
    MainLoop& loop = m_loop;
    m_listener->thread = std::thread([listening, weak, &loop] {
        for (;;) {
            int accepted = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return; // shut down
            }
            auto connection = std::make_shared<FileDescriptor>(accepted);
            std::string title = clickedTitle(readRequest(accepted));
            loop.post([weak, connection, title] {
                std::string reply;
                if (auto self = weak.lock())
                    reply = (**self).click(title);
                else
                    reply = json {{"error", "the status item is gone"}}.dump();
                reply += '\n';
                writeAll(connection->get(), std::span(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
            });
        }
    });
}

std::string MacsimStatusItem::click(const std::string& title)
{
    if (title.empty())
        return json {{"error", "the request names no row"}}.dump();
    if (m_delegate)
        m_delegate->menuWillOpen();
    for (const MenuRow& row : m_menu.rows) {
        if (row.kind != MenuRow::Kind::Item || row.title != title)
            continue;
        if (!row.enabled || !row.action)
            return json {{"error", "the row \"" + title + "\" is disabled"}}.dump();
        // The action may replace the menu, and the row with it.
        std::function<void()> action = row.action;
        try {
            action();
        } catch (const std::exception& failure) {
            return json {{"error", failure.what()}}.dump();
        }
        return json {{"chose", title}}.dump();
    }
    return json {{"error", "the menu has no row \"" + title + "\""}}.dump();
}

}
