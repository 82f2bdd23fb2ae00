#pragma once

#include "platform/status_item.h"

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace ferrolatch {

// The status item as a system-tray icon with the same menu. Before the menu
// shows, the delegate hears menuWillOpen; a chosen row's action runs once
// the menu has closed, so that it may replace the menu.
class QtStatusItem final : public StatusItem {
public:
    QtStatusItem();
    ~QtStatusItem() override;

    bool canLoadImage(const std::string& path) override;
    void setButton(const StatusButton& button) override;
    StatusButton button() const override { return m_button; }
    void setMenu(Menu menu, MenuDelegate* delegate) override;
    const Menu& menu() const override { return m_menu; }

    QMenu& qmenu() { return *m_qmenu; }
    QSystemTrayIcon& trayIcon() { return *m_tray; }

private:
    void rebuild();

    StatusButton m_button;
    Menu m_menu;
    MenuDelegate* m_delegate = nullptr;
    std::unique_ptr<QMenu> m_qmenu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
};

}
