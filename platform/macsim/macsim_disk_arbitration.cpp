#include "platform/macsim/macsim_disk_arbitration.h"

#include "common/uuid_text.h"
#include "common/virtual_mac_location.h"

#include "platform/macsim/arbitration_wire.h"
#include "platform/macsim/sysroot_sockets.h"
#include "platform/posix/file_descriptor.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ferrolatch {

namespace {

using arbitration_wire::Request;
using Client = std::shared_ptr<FileDescriptor>;

constexpr std::size_t keptDescriptions = 256;

void answer(const Client& client, const std::optional<DiskDissenter>& dissenter)
{
    sysroot_sockets::sendLine(client->get(), arbitration_wire::encodeAnswer(dissenter));
}

class Session final : public DiskArbitrationSession {
public:
    Session(std::string sysroot, std::string socketPath)
        : m_sysroot(std::move(sysroot)), m_socketPath(std::move(socketPath)),
          m_listener(sysroot_sockets::listenStream(m_socketPath)), m_wake(::eventfd(0, EFD_CLOEXEC))
    {
        if (!m_wake.isOpen())
            throw std::system_error(errno, std::generic_category(), "eventfd");
        m_acceptThread = std::thread([this] { acceptLoop(); });
    }

    ~Session() override
    {
        std::uint64_t one = 1;
        (void)!::write(m_wake.get(), &one, sizeof one);
        m_acceptThread.join();
        ::unlink(m_socketPath.c_str());
        m_listener.close();
        stopQueue();
        // A session's claims end with it.
        std::map<std::string, Release> claims;
        {
            std::lock_guard lock(m_mutex);
            claims.swap(m_claims);
        }
        for (const auto& [disk, release] : claims) {
            if (auto claim = arbitration_wire::currentClaim(m_sysroot, disk); claim && claim->session == m_socketPath)
                arbitration_wire::removeClaim(m_sysroot, disk);
        }
    }

    Registration registerDiskPeekCallback(PeekCallback callback) override
    {
        std::lock_guard lock(m_mutex);
        m_peek = {++m_lastRegistration, std::make_shared<PeekCallback>(std::move(callback))};
        return m_peek.token;
    }

    Registration registerDiskMountApprovalCallback(MountApprovalCallback callback) override
    {
        std::lock_guard lock(m_mutex);
        m_approval = {++m_lastRegistration, std::make_shared<MountApprovalCallback>(std::move(callback))};
        return m_approval.token;
    }

    void setDispatchQueue(std::optional<std::string_view> label) override
    {
        if (!label) {
            stopQueue();
            return;
        }
        std::lock_guard lock(m_mutex);
        if (m_worker.joinable())
            return;
        m_stopping = false;
        m_worker = std::thread([this] { runQueue(); });
    }

    void unregisterCallback(Registration registration) override
    {
        std::lock_guard lock(m_mutex);
        if (m_peek.token == registration)
            m_peek = {};
        if (m_approval.token == registration)
            m_approval = {};
    }

    std::optional<DiskDescription> copyDescription(const DiskReference& disk) override
    {
        std::lock_guard lock(m_mutex);
        auto found = m_descriptions.find(disk.handle);
        if (found == m_descriptions.end() || found->second.first != disk.bsdName)
            return std::nullopt;
        DiskDescription description;
        if (const auto& uuid = found->second.second) {
            if (auto bytes = uuidBytesFromText(*uuid))
                description.volumeUUID = disk_uuid::Value {*bytes};
        }
        return description;
    }

    bool isClaimed(const DiskReference& disk) override
    {
        return arbitration_wire::currentClaim(m_sysroot, disk.bsdName).has_value();
    }

    void claim(const DiskReference& disk, ClaimReleaseCallback release, ClaimCallback done) override
    {
        std::optional<DiskDissenter> refusal;
        if (arbitration_wire::createClaim(m_sysroot, disk.bsdName, {static_cast<long>(::getpid()), m_socketPath})) {
            std::lock_guard lock(m_mutex);
            m_claims[disk.bsdName] = std::make_shared<ClaimReleaseCallback>(std::move(release));
        } else {
            refusal = DiskDissenter {kDAReturnExclusiveAccess, ""};
        }
        // The outcome arrives later on the queue, as Disk Arbitration reports it.
        if (done)
            enqueue([disk, refusal, done = std::move(done)] { done(disk, refusal); });
    }

private:
    // A registered callback, shared with the tasks that run it so that an
    // unregistration while one is queued leaves that one intact.
    template <typename Callback> struct Registered {
        Registration token = 0;
        std::shared_ptr<Callback> callback;
    };
    using Release = std::shared_ptr<ClaimReleaseCallback>;

    void acceptLoop()
    {
        while (sysroot_sockets::waitReadableUnlessWoken(m_listener.get(), m_wake.get())) {
            int accepted = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted < 0)
                continue;
            serve(std::make_shared<FileDescriptor>(accepted));
        }
    }

    void serve(const Client& client)
    {
        std::string pending;
        auto line = sysroot_sockets::readLine(client->get(), sysroot_sockets::answerTimeout, pending);
        auto message = line ? arbitration_wire::decodeMessage(*line) : std::nullopt;
        if (!message)
            return;
        DiskReference disk {message->disk, 0};
        std::unique_lock lock(m_mutex);
        disk.handle = ++m_lastHandle;
        m_descriptions[disk.handle] = {message->disk, message->volumeUUID};
        // Callbacks look descriptions up while they run; old disks need not stay.
        if (m_descriptions.size() > keptDescriptions)
            m_descriptions.erase(m_descriptions.begin());
        bool scheduled = m_worker.joinable() && !m_stopping;
        switch (message->request) {
        case Request::Peek: {
            auto peek = m_peek;
            lock.unlock();
            if (!scheduled || !peek.callback || !*peek.callback)
                return answer(client, std::nullopt);
            enqueue([this, client, disk, peek] {
                (*peek.callback)(disk);
                // Behind whatever the callback queued (a claim's outcome).
                enqueue([client] { answer(client, std::nullopt); });
            });
            return;
        }
        case Request::Approve: {
            auto approval = m_approval;
            lock.unlock();
            if (!scheduled || !approval.callback || !*approval.callback)
                return answer(client, std::nullopt);
            enqueue([client, disk, approval] { answer(client, (*approval.callback)(disk)); });
            return;
        }
        case Request::Release: {
            auto held = m_claims.find(disk.bsdName);
            if (held == m_claims.end() || !held->second || !*held->second || !scheduled) {
                if (held != m_claims.end())
                    m_claims.erase(held);
                lock.unlock();
                releaseClaimFile(disk.bsdName);
                return answer(client, std::nullopt);
            }
            Release release = held->second;
            lock.unlock();
            enqueue([this, client, disk, release] {
                std::optional<DiskDissenter> kept = (*release)(disk);
                if (!kept) {
                    {
                        std::lock_guard guard(m_mutex);
                        m_claims.erase(disk.bsdName);
                    }
                    releaseClaimFile(disk.bsdName);
                }
                answer(client, kept);
            });
            return;
        }
        }
    }

    void releaseClaimFile(const std::string& disk)
    {
        if (auto claim = arbitration_wire::currentClaim(m_sysroot, disk); claim && claim->session == m_socketPath)
            arbitration_wire::removeClaim(m_sysroot, disk);
    }

    void enqueue(std::function<void()> task)
    {
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wakeQueue.notify_one();
    }

    void runQueue()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wakeQueue.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_stopping)
                return;
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    // Callbacks stop; what was queued is dropped, and a tool waiting for an
    // answer sees the connection close, which counts as consent.
    void stopQueue()
    {
        std::thread worker;
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(m_mutex);
            if (!m_worker.joinable())
                return;
            m_stopping = true;
            worker = std::move(m_worker);
            dropped.swap(m_tasks);
        }
        m_wakeQueue.notify_all();
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach(); // a callback ending its own session's queue
        else
            worker.join();
    }

    std::string m_sysroot;
    std::string m_socketPath;
    FileDescriptor m_listener;
    FileDescriptor m_wake;
    std::thread m_acceptThread;

    std::mutex m_mutex; // a leaf lock: never held while a callback runs
    std::condition_variable m_wakeQueue;
    std::deque<std::function<void()>> m_tasks;
    std::thread m_worker;
    bool m_stopping = false;
    Registration m_lastRegistration = 0;
    Registered<PeekCallback> m_peek;
    Registered<MountApprovalCallback> m_approval;
    std::uint64_t m_lastHandle = 0;
    std::map<std::uint64_t, std::pair<std::string, std::optional<std::string>>> m_descriptions;
    std::map<std::string, Release> m_claims;
};

}

std::unique_ptr<DiskArbitrationSession> MacsimDiskArbitration::createSession()
{
    static std::atomic<unsigned> sessions {0};
    // Nothing is written where no virtual Mac was made.
    if (::access(virtual_mac::stateFile(m_sysroot).c_str(), F_OK) != 0)
        return nullptr;
    try {
        std::string directory = sysroot_sockets::sessionDirectory(m_sysroot);
        sysroot_sockets::makeDirectory(directory);
        std::string path = directory + "/" + std::to_string(::getpid()) + "-" + std::to_string(++sessions) + ".sock";
        return std::make_unique<Session>(m_sysroot, path);
    } catch (const std::system_error&) {
        return nullptr;
    }
}

}
