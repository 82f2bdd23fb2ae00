#include "platform/qt/qt_application.h"

#include "platform/qt/qt_main_loop.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_status_item.h"
#include "platform/qt/qt_ui.h"

#include <QApplication>
#include <QIcon>

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

// The tray icon exists only once a command shows it.
class LazyStatusItem final : public StatusItem {
public:
    bool canLoadImage(const std::string& path) override { return item().canLoadImage(path); }
    void setButton(const StatusButton& button) override { item().setButton(button); }
    StatusButton button() const override { return m_item ? m_item->button() : StatusButton {}; }
    void setMenu(Menu menu, MenuDelegate* delegate) override { item().setMenu(std::move(menu), delegate); }
    const Menu& menu() const override { return m_item ? m_item->menu() : m_empty; }

private:
    QtStatusItem& item()
    {
        if (!m_item)
            m_item = std::make_unique<QtStatusItem>();
        return *m_item;
    }
    std::unique_ptr<QtStatusItem> m_item;
    Menu m_empty;
};

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
    LazyStatusItem statusItem;
    QtSession session {loop, ui, pasteboard, statusItem};
    body(session);
}

namespace {

class QtDesktopAdapters final : public DesktopAdapters {
public:
    void run(const std::function<void(DesktopSession&)>& body, const std::string& applicationIconPath,
             int interruptionDescriptor) override
    {
        runInQtApplication(body, applicationIconPath, interruptionDescriptor);
    }
};

}

DesktopAdapters& qtDesktopAdapters()
{
    static QtDesktopAdapters adapters;
    return adapters;
}

}
