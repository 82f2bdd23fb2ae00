// The mount guard under ThreadSanitizer: a fake Disk Arbitration delivers
// peeks, mount approvals and release requests on its own serial queue, as the
// real one does, while the main thread enrols volumes and opens and closes
// the allowed window. The callbacks re-enter the session (description,
// claim state, claims) the way a real session lets them. Any data race ends
// the run through the sanitizer; a wrong decision ends it with status 1.
#include "agent/mount_guard.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace ferrolatch;

namespace {

const disk_uuid::Bytes enrolledBytes {0x8B, 0x30, 0x58, 0x70, 0xF6, 0x84, 0x4D, 0xEA,
                                      0xBA, 0x71, 0x8D, 0xD6, 0xA6, 0xAA, 0x60, 0x8C};
const std::string enrolled = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";
const std::string other = "0F6E1C2D-3B4A-4C5D-8E7F-9A0B1C2D3E4F";

class CountingLog final : public Log {
public:
    void write(const std::string&) override { ++lines; }
    std::atomic<int> lines {0};
};

class QueueSession final : public DiskArbitrationSession {
public:
    ~QueueSession() override { setDispatchQueue(std::nullopt); }

    Registration registerDiskPeekCallback(PeekCallback callback) override
    {
        std::lock_guard lock(m_mutex);
        m_peek = std::move(callback);
        return 1;
    }
    Registration registerDiskMountApprovalCallback(MountApprovalCallback callback) override
    {
        std::lock_guard lock(m_mutex);
        m_approval = std::move(callback);
        return 2;
    }
    void setDispatchQueue(std::optional<std::string_view> label) override
    {
        if (label) {
            std::lock_guard lock(m_mutex);
            m_stopping = false;
            m_worker = std::thread([this] { run(); });
            return;
        }
        std::thread worker;
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            worker = std::move(m_worker);
        }
        m_wake.notify_all();
        if (worker.joinable())
            worker.join();
    }
    void unregisterCallback(Registration registration) override
    {
        std::lock_guard lock(m_mutex);
        if (registration == 1)
            m_peek = nullptr;
        else
            m_approval = nullptr;
    }
    std::optional<DiskDescription> copyDescription(const DiskReference&) override
    {
        return DiskDescription {disk_uuid::CFUUID {enrolledBytes}};
    }
    bool isClaimed(const DiskReference& disk) override
    {
        std::lock_guard lock(m_mutex);
        return m_claims.contains(disk.bsdName);
    }
    void claim(const DiskReference& disk, ClaimReleaseCallback onRelease, ClaimCallback done) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_claims[disk.bsdName] = std::move(onRelease);
        }
        post([disk, done = std::move(done)] { done(disk, std::nullopt); });
    }

    // What a tool asks; each waits until the queue has answered.
    void peek(const DiskReference& disk)
    {
        ask([this, disk] {
            PeekCallback callback = registered(&QueueSession::m_peek);
            if (callback)
                callback(disk);
            return true;
        });
    }
    bool approve(const DiskReference& disk)
    {
        return ask([this, disk] {
            MountApprovalCallback callback = registered(&QueueSession::m_approval);
            return !callback || !callback(disk);
        });
    }
    bool release(const DiskReference& disk)
    {
        return ask([this, disk] {
            ClaimReleaseCallback held;
            {
                std::lock_guard lock(m_mutex);
                auto found = m_claims.find(disk.bsdName);
                if (found == m_claims.end())
                    return true;
                held = found->second;
            }
            if (held(disk))
                return false;
            std::lock_guard lock(m_mutex);
            m_claims.erase(disk.bsdName);
            return true;
        });
    }

private:
    template <typename Callback> Callback registered(Callback QueueSession::*callback)
    {
        std::lock_guard lock(m_mutex);
        return this->*callback;
    }

    bool ask(std::function<bool()> question)
    {
        auto answer = std::make_shared<std::promise<bool>>();
        std::future<bool> future = answer->get_future();
        post([answer, question] { answer->set_value(question()); });
        return future.get();
    }

    void post(std::function<void()> task)
    {
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            auto task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    std::thread m_worker;
    bool m_stopping = false;
    PeekCallback m_peek;
    MountApprovalCallback m_approval;
    std::map<std::string, ClaimReleaseCallback> m_claims;
};

class QueueArbitration final : public DiskArbitration {
public:
    std::unique_ptr<DiskArbitrationSession> createSession() override
    {
        auto made = std::make_unique<QueueSession>();
        session = made.get();
        return made;
    }
    QueueSession* session = nullptr;
};

bool check(bool condition, const char* what)
{
    if (!condition)
        std::fprintf(stderr, "mount guard race: %s\n", what);
    return condition;
}

}

int main()
{
    QueueArbitration arbitration;
    CountingLog log;
    bool ok = true;
    for (int life = 0; life < 3; ++life) {
        auto guard = std::make_unique<FerrolatchMountGuard>(arbitration, log, std::set<std::string> {enrolled});
        QueueSession& session = *arbitration.session;
        std::atomic<bool> done = false;
        std::thread tool([&] {
            for (int disk = 0; !done; ++disk) {
                DiskReference reference {"disk" + std::to_string(5 + disk % 4) + "s2", static_cast<std::uint64_t>(disk)};
                session.peek(reference);
                session.release(reference);
                session.approve(reference);
            }
        });
        for (int round = 0; round < 1500; ++round) {
            FerrolatchMountGuard::ExplicitUnlock window = guard->beginExplicitUnlock(enrolled);
            guard->addEnrolledVolume(other);
            FerrolatchMountGuard::ExplicitUnlock overlapping = guard->beginExplicitUnlock(enrolled);
            window.end();
        }
        done = true;
        tool.join();

        // Outside the window every answer refuses again.
        DiskReference disk {"disk9s2", 1};
        session.peek(disk);
        ok &= check(session.isClaimed(disk), "an enrolled volume was not claimed at its peek");
        ok &= check(!session.release(disk), "a claim was released outside an explicit unlock");
        ok &= check(!session.approve(disk), "a mount was approved outside an explicit unlock");
        FerrolatchMountGuard::ExplicitUnlock window = guard->beginExplicitUnlock(enrolled);
        ok &= check(session.release(disk), "a claim was kept during an explicit unlock");
        ok &= check(session.approve(disk), "a mount was refused during an explicit unlock");
        guard.reset(); // unschedules while nothing is in flight, as the agent does at its end
    }
    return ok ? 0 : 1;
}
