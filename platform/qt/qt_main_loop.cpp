#include "platform/qt/qt_main_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

namespace ferrolatch {

double QtClock::now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void assertQtMainThread(const char* operation)
{
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread())
        qFatal("%s must run on the main thread, inside the application", operation);
}

struct QtMainLoop::Run {
    QEventLoop loop;
    const std::function<bool()>* condition = nullptr; // runUntil; a plain run honours stops instead
    bool quitting = false;

    void quit()
    {
        quitting = true;
        loop.quit();
    }
};

class QtMainLoop::Timer final : public DelayedTask {
public:
    Timer(Task task, QThread* owner) : m_task(std::move(task)), m_owner(owner) {}

    void cancel() override
    {
        Task dropped;
        {
            std::lock_guard lock(m_mutex);
            if (m_state != State::Pending)
                return;
            m_state = State::Cancelled;
            // Off the main thread the task is left for the Qt timer to release,
            // so whatever it captured is destroyed where it was made.
            if (QThread::currentThread() == m_owner)
                dropped = std::move(m_task);
        }
        if (QThread::currentThread() == m_owner && m_qtTimer)
            delete m_qtTimer.data();
    }

    bool pending() const override
    {
        std::lock_guard lock(m_mutex);
        return m_state == State::Pending;
    }

    // The task to run now, or nothing when it was cancelled first.
    Task fire()
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Pending)
            return {};
        m_state = State::Fired;
        return std::move(m_task);
    }

    // Releases the task of a timer cancelled from another thread.
    void release()
    {
        Task dropped;
        std::lock_guard lock(m_mutex);
        dropped = std::move(m_task);
    }

    QPointer<QTimer> m_qtTimer; // main thread only

private:
    enum class State { Pending, Fired, Cancelled };
    mutable std::mutex m_mutex;
    State m_state = State::Pending;
    Task m_task;
    QThread* m_owner;
};

QtMainLoop::QtMainLoop() : m_receiver(std::make_unique<QObject>())
{
    assertQtMainThread("the Qt main loop");
}

QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::post(Task task)
{
    if (!task)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(task));
    }
    requestWake(true);
}

std::shared_ptr<DelayedTask> QtMainLoop::postAfter(double delaySeconds, Task task)
{
    bool empty = !task;
    auto timer = std::make_shared<Timer>(std::move(task), m_receiver->thread());
    if (empty) {
        timer->cancel();
        return timer;
    }
    if (QThread::currentThread() == m_receiver->thread())
        armTimer(timer, delaySeconds);
    else
        post([this, timer, delaySeconds] { armTimer(timer, delaySeconds); });
    return timer;
}

void QtMainLoop::armTimer(const std::shared_ptr<Timer>& timer, double delaySeconds)
{
    if (!timer->pending()) {
        timer->release();
        return;
    }
    double milliseconds = std::ceil(std::max(0.0, delaySeconds) * 1000.0);
    auto* qtTimer = new QTimer(m_receiver.get());
    qtTimer->setSingleShot(true);
    qtTimer->setTimerType(Qt::PreciseTimer);
    qtTimer->setInterval(static_cast<int>(std::min(milliseconds, static_cast<double>(INT_MAX))));
    // The connection owns the handle, so dropping the handle does not cancel.
    QObject::connect(qtTimer, &QTimer::timeout, m_receiver.get(), [this, timer, qtTimer] {
        qtTimer->deleteLater();
        if (!timer->pending()) {
            timer->release();
            return;
        }
        post([timer] {
            if (Task task = timer->fire())
                task();
        });
    });
    timer->m_qtTimer = qtTimer;
    qtTimer->start();
}

void QtMainLoop::stop()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_stopRequests;
    }
    requestWake(true);
}

void QtMainLoop::requestWake(bool always)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_wakePosted || (!always && m_queue.empty() && m_stopRequests == 0))
            return;
        m_wakePosted = true;
    }
    QMetaObject::invokeMethod(m_receiver.get(), [this] { drain(); }, Qt::QueuedConnection);
}

bool QtMainLoop::takeStop()
{
    std::lock_guard lock(m_mutex);
    if (m_stopRequests == 0)
        return false;
    --m_stopRequests;
    return true;
}

MainLoop::Task QtMainLoop::takeTask()
{
    std::lock_guard lock(m_mutex);
    if (m_queue.empty())
        return {};
    Task task = std::move(m_queue.front());
    m_queue.pop_front();
    return task;
}

void QtMainLoop::drain()
{
    {
        std::lock_guard lock(m_mutex);
        m_wakePosted = false;
    }
    for (;;) {
        Run* run = m_runs.empty() ? nullptr : m_runs.back();
        // A run that is ending leaves the rest of the queue to the one it
        // returns to; enter() wakes that one. Until then, a modal alert opened
        // under the ending run is served by Qt, but not by queued tasks.
        if (run && run->quitting)
            return;
        if (run && !run->condition && takeStop()) {
            run->quit();
            return;
        }
        Task task = takeTask();
        if (!task)
            return;
        try {
            task();
        } catch (...) {
            // Exceptions must not cross Qt's event dispatch: the run that was
            // executing the task ends and rethrows it to its caller.
            if (!m_failure)
                m_failure = std::current_exception();
            if (run)
                run->quit();
            return;
        }
        if (run && run->condition && (*run->condition)()) {
            run->quit();
            return;
        }
    }
}

void QtMainLoop::enter(Run& run)
{
    m_runs.push_back(&run);
    requestWake(false);
    run.loop.exec();
    m_runs.pop_back();
    requestWake(false);
    if (m_failure)
        std::rethrow_exception(std::exchange(m_failure, nullptr));
}

void QtMainLoop::run()
{
    assertQtMainThread("MainLoop::run");
    if (m_failure)
        std::rethrow_exception(std::exchange(m_failure, nullptr));
    if (takeStop())
        return;
    Run run;
    enter(run);
}

void QtMainLoop::runUntil(const std::function<bool()>& condition)
{
    assertQtMainThread("MainLoop::runUntil");
    if (m_failure)
        std::rethrow_exception(std::exchange(m_failure, nullptr));
    if (condition())
        return;
    Run run;
    run.condition = &condition;
    enter(run);
}

}
