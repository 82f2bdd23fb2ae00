#include "platform/qt/qt_main_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

namespace ferrolatch {

void assertQtMainThread(const char* operation)
{
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread())
        qFatal("%s must run on the main thread, inside the application", operation);
}

QtWaiter::QtWaiter(Clock& clock, MainLoopScheduler& scheduler)
    : m_clock(clock), m_scheduler(scheduler), m_receiver(std::make_unique<QObject>()),
      m_deadline(new QTimer(m_receiver.get()))
{
    assertQtMainThread("the Qt main loop");
    m_deadline->setSingleShot(true);
    m_deadline->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_deadline, &QTimer::timeout, m_receiver.get(), [this] { m_scheduler.pump(); });
}

QtWaiter::~QtWaiter() = default;

void QtWaiter::serve()
{
    QEventLoop level;
    m_levels.push_back(&level);
    level.exec();
    m_levels.pop_back();
}

void QtWaiter::leave()
{
    // A level under a modal alert ends once the alert returns to it.
    if (!m_levels.empty())
        m_levels.back()->quit();
}

void QtWaiter::wake()
{
    if (m_wakePosted.exchange(true))
        return;
    QMetaObject::invokeMethod(m_receiver.get(), [this] {
        m_wakePosted = false;
        m_scheduler.pump();
    }, Qt::QueuedConnection);
}

void QtWaiter::wakeAt(double deadline)
{
    if (std::isinf(deadline)) {
        m_deadline->stop();
        return;
    }
    double milliseconds = std::ceil(std::max(0.0, deadline - m_clock.now()) * 1000.0);
    m_deadline->start(static_cast<int>(std::min(milliseconds, static_cast<double>(INT_MAX))));
}

QtMainLoop::QtMainLoop() : QtWaiter(*this, *this), MainLoopScheduler(*this, *this) {}

void QtMainLoop::run()
{
    assertQtMainThread("MainLoop::run");
    MainLoopScheduler::run();
}

void QtMainLoop::runUntil(const std::function<bool()>& condition)
{
    assertQtMainThread("MainLoop::runUntil");
    MainLoopScheduler::runUntil(condition);
}

}
