#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace ferrolatch {

// Monotonic time in seconds since an arbitrary origin (the system uptime on a Mac).
// Tests replace it so that a 300-second wait takes no time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() = 0;
    // Called by a loop that has nothing to run before deadline. The system clock
    // does nothing (the loop then sleeps); a test clock jumps forward to deadline.
    virtual void idleUntil(double deadline) { (void)deadline; }
    // The calendar date and time, for what records it (a manifest's createdAt).
    virtual std::chrono::system_clock::time_point date() { return std::chrono::system_clock::now(); }
};

// A task posted to run after a delay. cancel() before it runs keeps it from
// running; dropping the handle does not cancel it.
class DelayedTask {
public:
    virtual ~DelayedTask() = default;
    virtual void cancel() = 0;
    virtual bool pending() const = 0; // neither run nor cancelled yet
};

// The main thread's run loop. Every service that answers later (the passkey
// service, delayed agent tasks) delivers on it. Runs nest: an alert or a
// ceremony may run the loop from inside a task the loop is running.
class MainLoop {
public:
    using Task = std::function<void()>;

    virtual ~MainLoop() = default;

    // Queues a task behind the ones already queued. Safe from any thread.
    virtual void post(Task task) = 0;
    // Queues a task once delay seconds have passed on clock().
    virtual std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) = 0;

    // Runs queued and due tasks until stop() is called; then returns to its
    // caller. Each stop() ends the innermost run only.
    virtual void run() = 0;
    // Ends the innermost run once the task that called it returns. Safe from any
    // thread; a stop with no run active makes the next run return at once.
    virtual void stop() = 0;
    // Runs the loop until condition() holds, checking it after every task.
    virtual void runUntil(const std::function<bool()>& condition) = 0;

    virtual Clock& clock() = 0;
};

}
