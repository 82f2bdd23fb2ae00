#include "platform/qt/qt_application.h"

#include "platform/qt/qt_main_loop.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_ui.h"

#include <QApplication>
#include <QIcon>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#if defined(__APPLE__)
#include <pthread.h>
#else
#include <unistd.h>
#endif

namespace ferrolatch {

namespace {

// Qt ends the process with a page of diagnostics when its platform plugin
// cannot reach the display. Said the program's way instead: one line, exit 1.
void reportUnreachableDisplay(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type != QtFatalMsg)
        return;
    std::fflush(stdout);
    std::fputs("ferrolatch-proof: the display could not be opened for this command's user interface; set "
               "FERROLATCH_UI_SCRIPT to answer its alerts from a script\n",
               stderr);
    std::_Exit(1);
}

bool onProcessMainThread()
{
#if defined(__APPLE__)
    return pthread_main_np() != 0;
#else
    return gettid() == getpid();
#endif
}

}

void runInQtApplication(const std::function<void(QtSession&)>& body, const std::string& applicationIconPath,
                        int interruptionDescriptor)
{
    if (!onProcessMainThread())
        qFatal("the application context must be entered on the main thread");

    std::unique_ptr<QApplication> application;
    if (!QCoreApplication::instance()) {
        // Qt keeps argc and argv for the application's lifetime.
        static int argc = 1;
        static char name[] = "ferrolatch-proof";
        static char* argv[] = {name, nullptr};
        QtMessageHandler previous = qInstallMessageHandler(reportUnreachableDisplay);
        application = std::make_unique<QApplication>(argc, argv);
        qInstallMessageHandler(previous);
        QCoreApplication::setApplicationName(QStringLiteral("Ferrolatch"));
    }
    assertQtMainThread("the application context");
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        qFatal("the application context needs a widgets application");
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (!applicationIconPath.empty()) {
        QIcon icon(QString::fromStdString(applicationIconPath));
        if (!icon.availableSizes().isEmpty())
            QApplication::setWindowIcon(icon);
    }

    // Declared after the application, so they go before it does.
    QtMainLoop loop;
    QtUi ui(applicationIconPath);
    ui.abortWhenReadable(interruptionDescriptor);
    QtPasteboard pasteboard;
    QtSession session {loop, ui, pasteboard};
    body(session);
}

// Ports that forward to the session while one is running.
struct QtApplicationContext::Ports {
    std::atomic<QtSession*> session {nullptr};

    QtSession& current(const char* port) const
    {
        QtSession* active = session.load();
        if (!active)
            qFatal("the %s is used outside the application context", port);
        return *active;
    }

    class Loop final : public MainLoop {
    public:
        explicit Loop(Ports& ports) : m_ports(ports) {}
        void post(Task task) override { m_ports.current("main loop").loop.post(std::move(task)); }
        std::shared_ptr<DelayedTask> postAfter(double delaySeconds, Task task) override
        {
            return m_ports.current("main loop").loop.postAfter(delaySeconds, std::move(task));
        }
        void run() override { m_ports.current("main loop").loop.run(); }
        void stop() override { m_ports.current("main loop").loop.stop(); }
        void runUntil(const std::function<bool()>& condition) override
        {
            m_ports.current("main loop").loop.runUntil(condition);
        }
        Clock& clock() override
        {
            QtSession* active = m_ports.session.load();
            return active ? active->loop.clock() : m_clock;
        }

    private:
        Ports& m_ports;
        QtClock m_clock;
    };

    class Interface final : public Ui {
    public:
        explicit Interface(Ports& ports) : m_ports(ports) {}
        void prepareApplication() override { ui().prepareApplication(); }
        void activate() override { ui().activate(); }
        void beep() override { ui().beep(); }
        Size layoutSize(const Alert& alert) override { return ui().layoutSize(alert); }
        long runModal(Alert& alert) override { return ui().runModal(alert); }
        void abortModal() override { ui().abortModal(); }
        std::unique_ptr<Window> createWindow(const WindowDescription& description) override
        {
            return ui().createWindow(description);
        }

    private:
        Ui& ui() { return m_ports.current("user interface").ui; }
        Ports& m_ports;
    };

    class Board final : public Pasteboard {
    public:
        explicit Board(Ports& ports) : m_ports(ports) {}
        void clearContents() override { board().clearContents(); }
        bool setString(std::span<const std::uint8_t> utf8) override { return board().setString(utf8); }
        std::optional<SecretBytes> readString() override { return board().readString(); }

    private:
        Pasteboard& board() { return m_ports.current("pasteboard").pasteboard; }
        Ports& m_ports;
    };

    Loop loop {*this};
    Interface ui {*this};
    Board pasteboard {*this};
};

QtApplicationContext::QtApplicationContext(std::string applicationIconPath, int interruptionDescriptor)
    : m_iconPath(std::move(applicationIconPath)), m_interruptionDescriptor(interruptionDescriptor),
      m_ports(std::make_unique<Ports>())
{
}

QtApplicationContext::~QtApplicationContext() = default;

MainLoop& QtApplicationContext::mainLoop() { return m_ports->loop; }
Ui& QtApplicationContext::ui() { return m_ports->ui; }
Pasteboard& QtApplicationContext::pasteboard() { return m_ports->pasteboard; }

void QtApplicationContext::operator()(const std::function<void()>& handler)
{
    runInQtApplication(
        [&](QtSession& session) {
            QtSession* previous = m_ports->session.exchange(&session);
            struct Restore {
                Ports& ports;
                QtSession* previous;
                ~Restore() { ports.session.store(previous); }
            } restore {*m_ports, previous};
            handler();
        },
        m_iconPath, m_interruptionDescriptor);
}

}
