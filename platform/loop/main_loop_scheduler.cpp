#include "platform/loop/main_loop_scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <utility>

namespace ferrolatch {

double SystemClock::now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

class MainLoopScheduler::Timer final : public DelayedTask {
public:
    void cancel() override { m_cancelled = true; }
    bool pending() const override { return !m_cancelled && !m_fired; }
    // Marks the timer as run; false when it was cancelled first.
    bool fire() { return !m_cancelled && !m_fired.exchange(true); }

private:
    std::atomic<bool> m_cancelled {false};
    std::atomic<bool> m_fired {false};
};

void MainLoopScheduler::post(Task task)
{
    if (!task)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(task));
    }
    m_driver.wake();
}

std::shared_ptr<DelayedTask> MainLoopScheduler::postAfter(double delaySeconds, Task task)
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
    // The pump that wakes re-arms the driver's deadline for the new timer.
    m_driver.wake();
    return timer;
}

void MainLoopScheduler::stop()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_stopRequests;
    }
    m_driver.wake();
}

bool MainLoopScheduler::takeStop()
{
    std::lock_guard lock(m_mutex);
    if (m_stopRequests == 0)
        return false;
    --m_stopRequests;
    return true;
}

MainLoop::Task MainLoopScheduler::takeReady(double& next)
{
    // Released once the lock is: what a task captured may post when it goes.
    std::vector<Task> dropped;
    std::lock_guard lock(m_mutex);
    if (!m_queue.empty()) {
        Task task = std::move(m_queue.front());
        m_queue.pop_front();
        return task;
    }
    // Cancelled timers are dropped here so they never keep the loop waiting.
    for (auto scheduled = m_timers.begin(); scheduled != m_timers.end();) {
        if (scheduled->timer->pending()) {
            ++scheduled;
            continue;
        }
        dropped.push_back(std::move(scheduled->task));
        scheduled = m_timers.erase(scheduled);
    }
    while (!m_timers.empty() && !(m_clock.now() < m_timers.front().due)) {
        Scheduled scheduled = std::move(m_timers.front());
        m_timers.erase(m_timers.begin());
        if (scheduled.timer->fire())
            return std::move(scheduled.task);
    }
    next = m_timers.empty() ? std::numeric_limits<double>::infinity() : m_timers.front().due;
    return {};
}

void MainLoopScheduler::end(Run& run)
{
    run.ending = true;
    m_driver.leave();
}

void MainLoopScheduler::pump()
{
    for (;;) {
        Run* run = m_runs.empty() ? nullptr : m_runs.back();
        // A run that is ending leaves the rest to the one it returns to, which
        // enter() wakes.
        if (run && run->ending)
            return;
        if (run && !run->condition && takeStop()) {
            end(*run);
            return;
        }
        double next = 0;
        Task task = takeReady(next);
        if (!task) {
            m_driver.wakeAt(next);
            return;
        }
        try {
            task();
        } catch (...) {
            // Nothing unwinds through the driver's event dispatch: the run
            // that was executing the task ends and rethrows it to its caller.
            if (!m_failure)
                m_failure = std::current_exception();
            if (run)
                end(*run);
            return;
        }
        if (run && run->condition && (*run->condition)()) {
            end(*run);
            return;
        }
    }
}

void MainLoopScheduler::rethrowFailure()
{
    if (m_failure)
        std::rethrow_exception(std::exchange(m_failure, nullptr));
}

void MainLoopScheduler::enter(Run& run)
{
    m_runs.push_back(&run);
    m_driver.wake();
    m_driver.serve();
    m_runs.pop_back();
    // The run returned to may have work that waited behind this one.
    m_driver.wake();
    rethrowFailure();
}

void MainLoopScheduler::run()
{
    rethrowFailure();
    if (takeStop())
        return;
    Run run;
    enter(run);
}

void MainLoopScheduler::runUntil(const std::function<bool()>& condition)
{
    rethrowFailure();
    if (condition())
        return;
    Run run;
    run.condition = &condition;
    enter(run);
}

}
