#include "platform/qt/qt_status_item.h"

#include <QAction>
#include <QCursor>
#include <QFont>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QSystemTrayIcon>
#include <QTimer>

namespace ferrolatch {

namespace {

// A tray icon cannot show text alone: the title is drawn into an icon.
QIcon titleIcon(const std::string& title)
{
    QPixmap pixmap(36, 36);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setPixelSize(28);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QString::fromStdString(title));
    return QIcon(pixmap);
}

}

QtStatusItem::QtStatusItem() : m_qmenu(std::make_unique<QMenu>()), m_tray(std::make_unique<QSystemTrayIcon>())
{
    QObject::connect(m_qmenu.get(), &QMenu::aboutToShow, [this] {
        if (m_delegate)
            m_delegate->menuWillOpen();
    });
    m_tray->setContextMenu(m_qmenu.get());
    // On a Mac a click on the status item opens its menu; most Linux panels
    // open a tray icon's menu only on a right click, so a left click does it too.
    QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, m_qmenu.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger || m_qmenu->isVisible())
                             return;
                         QRect icon = m_tray->geometry();
                         m_qmenu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
                     });
}

QtStatusItem::~QtStatusItem()
{
    m_tray->hide();
}

bool QtStatusItem::canLoadImage(const std::string& path)
{
    QIcon icon(QString::fromStdString(path));
    return !icon.pixmap(18, 18).isNull();
}

void QtStatusItem::setButton(const StatusButton& button)
{
    m_button = button;
    if (button.image) {
        QIcon icon(QString::fromStdString(button.image->path));
        // A template image follows the panel's colours where the platform can.
        icon.setIsMask(button.image->isTemplate);
        m_tray->setIcon(icon);
    } else {
        m_tray->setIcon(titleIcon(button.title));
    }
    m_tray->setToolTip(QString::fromStdString(button.toolTip));
    m_tray->show();
}

void QtStatusItem::setMenu(Menu menu, MenuDelegate* delegate)
{
    m_menu = std::move(menu);
    m_delegate = delegate;
    rebuild();
}

void QtStatusItem::rebuild()
{
    m_qmenu->clear();
    for (const MenuRow& row : m_menu.rows) {
        if (row.kind == MenuRow::Kind::Separator) {
            m_qmenu->addSeparator();
            continue;
        }
        QAction* action = m_qmenu->addAction(QString::fromStdString(row.title));
        action->setEnabled(row.enabled && row.action);
        action->setCheckable(row.checked);
        action->setChecked(row.checked);
        if (!row.keyEquivalent.empty())
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(row.keyEquivalent).toUpper()));
        if (row.action) {
            std::function<void()> run = row.action;
            // Queued: the action may rebuild this menu, and with it the QAction
            // whose signal is being delivered.
            QObject::connect(action, &QAction::triggered, m_qmenu.get(),
                             [run] { QTimer::singleShot(0, [run] { run(); }); });
        }
    }
}

}
