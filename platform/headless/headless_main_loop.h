#pragma once

#include "platform/main_loop.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace ferrolatch {

// Monotonic time from the host's steady clock.
class SystemClock final : public Clock {
public:
    double now() override;
};

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

// The main loop without a windowing system: a queue of tasks and timers on
// the calling thread. Tasks posted from other threads wake it.
class HeadlessMainLoop final : public MainLoop {
public:
    explicit HeadlessMainLoop(Clock& clock) : m_clock(clock) {}

    void post(Task task) override;
    std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) override;
    void run() override;
    void stop() override;
    void runUntil(const std::function<bool()>& condition) override;
    Clock& clock() override { return m_clock; }

private:
    class Timer;
    struct Scheduled {
        double due;
        std::uint64_t sequence;
        std::shared_ptr<Timer> timer;
        Task task;
    };

    // Takes the next task to run, waiting for one; empty when a stop ends the run.
    Task next(bool honourStop);

    Clock& m_clock;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_queue;
    std::vector<Scheduled> m_timers; // ordered by due time, then by posting order
    std::uint64_t m_sequence = 0;
    int m_stopRequests = 0;
};

}
