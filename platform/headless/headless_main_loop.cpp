#include "platform/headless/headless_main_loop.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace ferrolatch {

namespace {

constexpr double never = std::numeric_limits<double>::infinity();

}

void ManualClock::idleUntil(double deadline)
{
    m_now = std::max(m_now, deadline);
}

void ConditionWaiter::serve()
{
    for (;;) {
        m_scheduler.pump();
        if (m_leaving) {
            m_leaving = false;
            return;
        }
        waitForWork();
    }
}

void ConditionWaiter::waitForWork()
{
    std::unique_lock lock(m_mutex);
    while (!m_woken) {
        double deadline = m_deadline;
        if (deadline == never) {
            m_condition.wait(lock);
            continue;
        }
        if (!(m_clock.now() < deadline))
            break;
        lock.unlock();
        m_clock.idleUntil(deadline);
        lock.lock();
        double remaining = deadline - m_clock.now();
        if (remaining > 0)
            m_condition.wait_for(lock, std::chrono::duration<double>(remaining));
    }
    m_woken = false;
}

void ConditionWaiter::wake()
{
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_condition.notify_all();
}

void ConditionWaiter::wakeAt(double deadline)
{
    std::lock_guard lock(m_mutex);
    m_deadline = deadline;
}

}
