#include "platform/posix/linux_file_events.h"

#include "common/errors.h"
#include "common/path_text.h"
#include "platform/posix/file_descriptor.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace ferrolatch {

namespace {

constexpr std::uint32_t entryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
    | IN_MODIFY | IN_ATTRIB;
constexpr std::uint32_t selfChanges = IN_DELETE_SELF | IN_MOVE_SELF;

bool existsAt(const std::string& path, bool& directory)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return false;
    directory = S_ISDIR(info.st_mode);
    return true;
}

struct Observation {
    std::string path;
    FileEvents::Observer observer;
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    FileDescriptor inotify;
    int parentWatch = -1;
    int selfWatch = -1;
    std::string awaited; // the entry of the watched parent that leads to the path
    bool present = false; // whether the path existed when last watched

    // Watches what the path leads to now. The instance stays, so nothing
    // queued is lost; an item that was replaced gets a watch of its own and
    // the watches that no longer lead anywhere go.
    void arm()
    {
        if (!inotify.isOpen())
            inotify = FileDescriptor(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!inotify.isOpen())
            return;
        std::string existing = path;
        std::string next;
        bool directory = false;
        while (!existsAt(existing, directory) && existing != "/") {
            next = lastPathComponent(existing);
            existing = parentDirectory(existing);
        }
        int oldParent = parentWatch;
        int oldSelf = selfWatch;
        selfWatch = -1;
        present = existing == path;
        if (present) {
            awaited = lastPathComponent(path);
            parentWatch = ::inotify_add_watch(inotify.get(), parentDirectory(path).c_str(), entryChanges | selfChanges);
            if (directory)
                selfWatch = ::inotify_add_watch(inotify.get(), path.c_str(), entryChanges | selfChanges | IN_ONLYDIR);
        } else {
            awaited = next;
            parentWatch = ::inotify_add_watch(inotify.get(), existing.c_str(), IN_CREATE | IN_MOVED_TO | selfChanges);
        }
        for (int old : {oldParent, oldSelf})
            if (old >= 0 && old != parentWatch && old != selfWatch)
                ::inotify_rm_watch(inotify.get(), old);
    }

    // Reads what is queued; true when any of it concerns the path.
    bool concernsPath()
    {
        alignas(inotify_event) char buffer[4096];
        bool concerned = false;
        for (;;) {
            ssize_t count = ::read(inotify.get(), buffer, sizeof buffer);
            if (count <= 0)
                return concerned;
            for (char* at = buffer; at < buffer + count;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                std::string name = event->len ? std::string(event->name) : std::string();
                concerned = concerned || (event->mask & (IN_Q_OVERFLOW | selfChanges)) || event->wd == selfWatch
                    || (event->wd == parentWatch && name == awaited);
                at += sizeof(inotify_event) + event->len;
            }
        }
    }
};

}

struct LinuxFileEvents::Shared {
    explicit Shared(MainLoop& loop) : mainLoop(loop), wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void run()
    {
        for (;;) {
            std::vector<pollfd> watched {{wake.get(), POLLIN, 0}};
            std::vector<Token> tokens;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    return;
                for (auto& [token, observation] : observations)
                    if (observation.inotify.isOpen()) {
                        watched.push_back({observation.inotify.get(), POLLIN, 0});
                        tokens.push_back(token);
                    }
            }
            if (::poll(watched.data(), watched.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (watched[0].revents) {
                std::uint64_t drained = 0;
                (void)!::read(wake.get(), &drained, sizeof drained);
                continue; // the set of observations changed, or stop
            }
            for (std::size_t index = 1; index < watched.size(); ++index)
                if (watched[index].revents)
                    deliver(tokens[index - 1]);
        }
    }

    void deliver(Token token)
    {
        std::lock_guard lock(mutex);
        auto found = observations.find(token);
        if (found == observations.end() || !found->second.concernsPath())
            return;
        bool wasPresent = found->second.present;
        found->second.arm();
        // A step on the way to a path that is still missing changes nothing there.
        if (!wasPresent && !found->second.present)
            return;
        mainLoop.post([alive = found->second.alive, observer = found->second.observer] {
            if (*alive)
                observer();
        });
    }

    void poke()
    {
        std::uint64_t one = 1;
        (void)!::write(wake.get(), &one, sizeof one);
    }

    MainLoop& mainLoop;
    FileDescriptor wake;
    std::mutex mutex;
    std::map<Token, Observation> observations;
    Token lastToken = 0;
    bool stopping = false;
    std::thread thread;
};

LinuxFileEvents::LinuxFileEvents(MainLoop& mainLoop) : m_shared(std::make_shared<Shared>(mainLoop))
{
    if (!m_shared->wake.isOpen())
        throw PlatformError::fromErrno(errno, "could not watch for file changes");
}

LinuxFileEvents::~LinuxFileEvents()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        for (auto& [token, observation] : m_shared->observations)
            *observation.alive = false;
    }
    m_shared->poke();
    if (m_shared->thread.joinable())
        m_shared->thread.join();
}

FileEvents::Token LinuxFileEvents::observe(const std::string& path, Observer observer)
{
    std::lock_guard lock(m_shared->mutex);
    Token token = ++m_shared->lastToken;
    Observation& observation = m_shared->observations[token];
    observation.path = lexicallyNormalizedPath(path);
    observation.observer = std::move(observer);
    observation.arm();
    // Started with the first observation: a process that watches nothing keeps no thread.
    if (!m_shared->thread.joinable())
        m_shared->thread = std::thread([shared = m_shared.get()] { shared->run(); });
    m_shared->poke();
    return token;
}

void LinuxFileEvents::removeObserver(Token token)
{
    std::lock_guard lock(m_shared->mutex);
    auto found = m_shared->observations.find(token);
    if (found == m_shared->observations.end())
        return;
    *found->second.alive = false;
    m_shared->observations.erase(found);
    m_shared->poke();
}

}
