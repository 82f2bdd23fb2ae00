#include "platform/headless/headless_main_loop.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace ferrolatch {

double SystemClock::now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void ManualClock::idleUntil(double deadline)
{
    m_now = std::max(m_now, deadline);
}

class HeadlessMainLoop::Timer final : public DelayedTask {
public:
    void cancel() override { m_cancelled = true; }
    bool pending() const override { return !m_cancelled && !m_fired; }
    // Marks the timer as run; false when it was cancelled first.
    bool fire() { return !m_cancelled && !m_fired.exchange(true); }

private:
    std::atomic<bool> m_cancelled {false};
    std::atomic<bool> m_fired {false};
};

void HeadlessMainLoop::post(Task task)
{
    if (!task)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_all();
}

std::shared_ptr<DelayedTask> HeadlessMainLoop::postAfter(double delaySeconds, Task task)
{
    auto timer = std::make_shared<Timer>();
    if (!task) {
        timer->cancel();
        return timer;
    }
    {
        std::lock_guard lock(m_mutex);
        Scheduled scheduled {m_clock.now() + std::max(0.0, delaySeconds), m_sequence++, timer, std::move(task)};
        auto position = std::upper_bound(m_timers.begin(), m_timers.end(), scheduled, [](const auto& a, const auto& b) {
            return a.due < b.due || (a.due == b.due && a.sequence < b.sequence);
        });
        m_timers.insert(position, std::move(scheduled));
    }
    m_wake.notify_all();
    return timer;
}

void HeadlessMainLoop::stop()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_stopRequests;
    }
    m_wake.notify_all();
}

HeadlessMainLoop::Task HeadlessMainLoop::next(bool honourStop)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (honourStop && m_stopRequests > 0) {
            --m_stopRequests;
            return {};
        }
        if (!m_queue.empty()) {
            Task task = std::move(m_queue.front());
            m_queue.pop_front();
            return task;
        }
        // Cancelled timers are dropped here so they never keep the loop waiting.
        std::erase_if(m_timers, [](const Scheduled& s) { return !s.timer->pending(); });
        if (m_timers.empty()) {
            m_wake.wait(lock);
            continue;
        }
        double due = m_timers.front().due;
        if (m_clock.now() < due) {
            lock.unlock();
            m_clock.idleUntil(due);
            lock.lock();
            double remaining = due - m_clock.now();
            if (remaining > 0)
                m_wake.wait_for(lock, std::chrono::duration<double>(remaining));
            continue;
        }
        Scheduled scheduled = std::move(m_timers.front());
        m_timers.erase(m_timers.begin());
        if (!scheduled.timer->fire())
            continue;
        return std::move(scheduled.task);
    }
}

void HeadlessMainLoop::run()
{
    while (Task task = next(true))
        task();
}

void HeadlessMainLoop::runUntil(const std::function<bool()>& condition)
{
    while (!condition()) {
        if (Task task = next(false))
            task();
    }
}

}
