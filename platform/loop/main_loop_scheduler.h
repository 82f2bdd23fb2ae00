#pragma once

#include "platform/main_loop.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

namespace ferrolatch {

// Monotonic time from the host's steady clock.
class SystemClock : public Clock {
public:
    double now() override;
};

// What a platform lends the main loop: it serves the platform's own events
// on the main thread (windows, a toolkit's timers) and calls the scheduler's
// pump() whenever it is woken or a deadline it was given passes.
class LoopDriver {
public:
    virtual ~LoopDriver() = default;
    // Serves events until leave() ends this level; levels nest.
    virtual void serve() = 0;
    // Ends the innermost serve() once the pump that called this returns.
    virtual void leave() = 0;
    // Asks for a pump soon. Safe from any thread.
    virtual void wake() = 0;
    // Asks for a pump once the clock reaches deadline, replacing the deadline
    // asked for before. Main thread only.
    virtual void wakeAt(double deadline) = 0;
};

// The main loop: tasks queued from any thread, timers on the loop's clock,
// runs that nest and the stops that end them. The driver only waits and
// wakes, so a plain loop and a toolkit's loop behave alike.
class MainLoopScheduler : public MainLoop {
public:
    MainLoopScheduler(Clock& clock, LoopDriver& driver) : m_clock(clock), m_driver(driver) {}

    void post(Task task) override;
    std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) override;
    void run() override;
    void stop() override;
    void runUntil(const std::function<bool()>& condition) override;
    Clock& clock() override { return m_clock; }

    // Runs what is due for the innermost run until it ends or nothing is due;
    // the driver calls it on the main thread. Outside every run (a toolkit's
    // own modal loop) due tasks run too, and a failure waits for the next run.
    void pump();

private:
    class Timer;
    struct Run {
        const std::function<bool()>* condition = nullptr; // runUntil; a plain run honours stops instead
        bool ending = false;
    };
    struct Scheduled {
        double due;
        std::uint64_t sequence;
        std::shared_ptr<Timer> timer;
        Task task;
    };

    void enter(Run& run);
    void end(Run& run);
    bool takeStop();
    // The next task to run now: queued ones first, then due timers. Empty when
    // none is ready; then the earliest pending timer's due time is in `next`.
    Task takeReady(double& next);
    void rethrowFailure();

    Clock& m_clock;
    LoopDriver& m_driver;
    std::vector<Run*> m_runs;     // innermost last; main thread only
    std::exception_ptr m_failure; // a task's exception, rethrown by the run it ended

    std::mutex m_mutex; // guards the members below
    std::deque<Task> m_queue;
    std::vector<Scheduled> m_timers; // ordered by due time, then by posting order
    std::uint64_t m_sequence = 0;
    int m_stopRequests = 0;
};

}
