#pragma once

#include "platform/loop/main_loop_scheduler.h"

#include <atomic>
#include <memory>
#include <vector>

class QEventLoop;
class QObject;
class QTimer;

namespace ferrolatch {

// Waiting inside Qt: each level is a QEventLoop, and wake-ups are queued Qt
// events, so tasks keep running inside Qt's own nested loops (a modal alert)
// while alerts, timers and windows are served in every run.
class QtWaiter : public LoopDriver {
public:
    QtWaiter(Clock& clock, MainLoopScheduler& scheduler);
    ~QtWaiter() override;

    void serve() override;
    void leave() override;
    void wake() override;
    void wakeAt(double deadline) override;

private:
    Clock& m_clock;
    MainLoopScheduler& m_scheduler;
    std::unique_ptr<QObject> m_receiver; // lives on the main thread; queued wake-ups go to it
    QTimer* m_deadline;                  // owned by m_receiver
    std::vector<QEventLoop*> m_levels;   // innermost last; main thread only
    std::atomic<bool> m_wakePosted {false};
};

// The main loop of a desktop session: Qt's event loop on the thread that owns
// the QApplication. Construct it on the main thread after the QApplication
// and destroy it before.
class QtMainLoop final : private SystemClock, private QtWaiter, public MainLoopScheduler {
public:
    QtMainLoop();
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    void run() override;
    void runUntil(const std::function<bool()>& condition) override;
};

// Stops the process when called off the thread that owns the QApplication, or
// with no QApplication at all: UI work anywhere else is a programming error.
void assertQtMainThread(const char* operation);

}
