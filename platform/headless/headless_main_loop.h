#pragma once

#include "platform/loop/main_loop_scheduler.h"

#include <condition_variable>
#include <limits>
#include <mutex>

namespace ferrolatch {

// A test clock: time moves only when advanced, or when an idle loop jumps it
// forward to its next timer.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1000.0) : m_now(start) {}
    double now() override { return m_now; }
    void idleUntil(double deadline) override;
    void advance(double seconds) { m_now += seconds; }

private:
    double m_now;
};

// Waiting without a windowing system: the main thread sleeps on a condition
// until it is woken or the next timer is due.
class ConditionWaiter : public LoopDriver {
public:
    ConditionWaiter(Clock& clock, MainLoopScheduler& scheduler) : m_clock(clock), m_scheduler(scheduler) {}

    void serve() override;
    void leave() override { m_leaving = true; }
    void wake() override;
    void wakeAt(double deadline) override;

private:
    void waitForWork();

    Clock& m_clock;
    MainLoopScheduler& m_scheduler;
    bool m_leaving = false; // main thread only
    std::mutex m_mutex;     // guards the members below
    std::condition_variable m_condition;
    bool m_woken = false;
    double m_deadline = std::numeric_limits<double>::infinity();
};

// The main loop without a windowing system: tasks and timers on the calling
// thread; tasks posted from other threads wake it.
class HeadlessMainLoop final : private ConditionWaiter, public MainLoopScheduler {
public:
    explicit HeadlessMainLoop(Clock& clock) : ConditionWaiter(clock, *this), MainLoopScheduler(clock, *this) {}
};

}
