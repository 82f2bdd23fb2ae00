#pragma once

#include "platform/main_loop.h"
#include "platform/status_item.h"

#include <memory>
#include <string>

namespace ferrolatch {

// The virtual Mac's menu bar. The item's state (icon resource or title,
// tooltip, rows) is published as "<pid>.json" in the sysroot's menu-bar
// directory whenever it changes; clicks arrive on the unix socket "<pid>.sock"
// beside it, one JSON line {"click": TITLE} per connection. A thread blocks in
// accept and posts each click to the main loop, where the menu opens
// (menuWillOpen), the row is chosen and its action runs; only then does the
// clicking side get its one-line answer.
class MacsimStatusItem final : public StatusItem {
public:
    MacsimStatusItem(std::string sysroot, std::string processName, MainLoop& loop);
    ~MacsimStatusItem() override;

    bool canLoadImage(const std::string& path) override;
    void setButton(const StatusButton& button) override;
    StatusButton button() const override { return m_button; }
    void setMenu(Menu menu, MenuDelegate* delegate) override;
    const Menu& menu() const override { return m_menu; }

private:
    struct Listener;

    void publish();
    void listen();
    std::string click(const std::string& title);

    std::string m_directory;
    std::string m_processName;
    MainLoop& m_loop;
    StatusButton m_button;
    Menu m_menu;
    MenuDelegate* m_delegate = nullptr;
    bool m_shown = false;
    std::string m_published; // the state file's content
    std::shared_ptr<MacsimStatusItem*> m_self; // tasks posted by the listener hold it weakly
    std::unique_ptr<Listener> m_listener;
};

}
