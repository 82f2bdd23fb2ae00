#include "platform/qt/qt_ui.h"

#include "platform/qt/qt_alert_dialog.h"
#include "platform/qt/qt_main_loop.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>

#include <algorithm>
#include <memory>
#include <poll.h>

namespace ferrolatch {

struct QtUi::Icon {
    QIcon icon;
};

namespace {

QRect primaryScreenGeometry()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect(0, 0, 1440, 900);
}

class QtWindow final : public Window {
public:
    explicit QtWindow(const WindowDescription& description)
    {
        Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint;
        if (!description.closable)
            flags |= Qt::CustomizeWindowHint; // a customised title bar without the close button
        else
            flags |= Qt::WindowCloseButtonHint;
        m_widget.setWindowFlags(flags);
        m_widget.setWindowTitle(QString::fromStdString(description.title));
        m_widget.resize(static_cast<int>(description.contentSize.width),
                        static_cast<int>(description.contentSize.height));
        if (description.centered) {
            QScreen* screen = QGuiApplication::primaryScreen();
            QRect available = screen ? screen->availableGeometry() : primaryScreenGeometry();
            QRect frame(QPoint(0, 0), m_widget.size());
            frame.moveCenter(available.center());
            m_widget.move(frame.topLeft());
        }
    }

    void makeKeyAndOrderFront() override
    {
        m_widget.show();
        m_widget.raise();
        m_widget.activateWindow();
    }

    void orderOut() override { m_widget.hide(); }

private:
    QWidget m_widget;
};

}

QtUi::QtUi(const std::string& applicationIconPath) : m_icon(std::make_unique<Icon>())
{
    assertQtMainThread("the Qt user interface");
    if (!applicationIconPath.empty())
        m_icon->icon = QIcon(QString::fromStdString(applicationIconPath));
    if (m_icon->icon.isNull() || m_icon->icon.availableSizes().isEmpty())
        m_icon->icon = QApplication::windowIcon();
    if (m_icon->icon.isNull() || m_icon->icon.availableSizes().isEmpty())
        m_icon->icon = drawnApplicationIcon();
}

QtUi::~QtUi() = default;

void QtUi::prepareApplication()
{
    assertQtMainThread("Ui::prepareApplication");
    // An agent-like application: closing its last window must not end the
    // event loops a ceremony or an alert is running. There is no Dock on
    // Linux, so the accessory policy has nothing else to change.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

void QtUi::activate()
{
    assertQtMainThread("Ui::activate");
    // Window managers may refuse to move focus between applications; raising
    // and asking for activation is as far as a client can go.
    QWidget* front = QApplication::activeModalWidget();
    if (!front) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->isWindow())
                front = widget;
        }
    }
    if (front) {
        front->raise();
        front->activateWindow();
    }
}

void QtUi::beep() { QApplication::beep(); }

Size QtUi::layoutSize(const Alert& alert)
{
    assertQtMainThread("Ui::layoutSize");
    AlertDialog dialog(alert, m_icon->icon);
    dialog.ensurePolished();
    dialog.layout()->activate();
    QSize size = dialog.size();
    return {static_cast<double>(size.width()), static_cast<double>(size.height())};
}

long QtUi::runModal(Alert& alert)
{
    assertQtMainThread("Ui::runModal");
    AlertDialog dialog(alert, m_icon->icon);
    if (alert.topLeft) {
        dialog.layout()->activate();
        dialog.move(qtTopLeft(*alert.topLeft, primaryScreenGeometry()));
    }

    std::unique_ptr<QSocketNotifier> interruption;
    if (m_abortDescriptor >= 0) {
        pollfd watched {m_abortDescriptor, POLLIN, 0};
        if (::poll(&watched, 1, 0) > 0 && (watched.revents & POLLIN))
            return alertAbortedResponse;
        interruption = std::make_unique<QSocketNotifier>(m_abortDescriptor, QSocketNotifier::Read);
        QObject::connect(interruption.get(), &QSocketNotifier::activated, &dialog,
                         [&dialog] { dialog.done(static_cast<int>(alertAbortedResponse)); });
    }

    // Nothing throws through exec(): the main loop keeps task exceptions out
    // of Qt's event dispatch.
    m_modal.push_back(&dialog);
    int response = dialog.exec();
    std::erase(m_modal, &dialog);
    dialog.writeBack(alert);
    return response;
}

void QtUi::abortModal()
{
    assertQtMainThread("Ui::abortModal");
    if (!m_modal.empty())
        m_modal.back()->done(static_cast<int>(alertAbortedResponse));
}

std::unique_ptr<Window> QtUi::createWindow(const WindowDescription& description)
{
    assertQtMainThread("Ui::createWindow");
    return std::make_unique<QtWindow>(description);
}

}
