#pragma once

#include "platform/main_loop.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

class QObject;

namespace ferrolatch {

// Monotonic seconds from the host's steady clock.
class QtClock final : public Clock {
public:
    double now() override;
};

// The main loop of a desktop session: Qt's event loop on the thread that owns
// the QApplication. Tasks wait in a queue of their own and run from one queued
// Qt event at a time, so stops and runUntil conditions are checked between
// tasks exactly as the headless loop does, while alerts, timers and windows
// keep being served by Qt in every nested run. Construct it on the main thread
// after the QApplication and destroy it before.
class QtMainLoop final : public MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    void post(Task task) override;
    std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) override;
    void run() override;
    void stop() override;
    void runUntil(const std::function<bool()>& condition) override;
    Clock& clock() override { return m_clock; }

private:
    struct Run;
    class Timer;

    void enter(Run& run);
    void drain();
    void requestWake(bool always);
    bool takeStop();
    Task takeTask();
    void armTimer(const std::shared_ptr<Timer>& timer, double delaySeconds);

    QtClock m_clock;
    std::unique_ptr<QObject> m_receiver; // lives on the main thread; queued wake-ups go to it
    std::vector<Run*> m_runs;            // innermost last; main thread only
    std::exception_ptr m_failure;        // a task's exception, rethrown by the run it ended

    std::mutex m_mutex; // guards the members below
    std::deque<Task> m_queue;
    int m_stopRequests = 0;
    bool m_wakePosted = false;
};

// Stops the process when called off the thread that owns the QApplication, or
// with no QApplication at all: UI work anywhere else is a programming error.
void assertQtMainThread(const char* operation);

}
