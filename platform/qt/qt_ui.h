#pragma once

#include "platform/ui.h"

#include <memory>
#include <string>
#include <vector>

namespace ferrolatch {

class AlertDialog;

// Alerts and windows with Qt Widgets. Everything here runs on the thread that
// owns the QApplication; runModal nests Qt's event loop, so posted main-loop
// tasks keep running while an alert is up.
class QtUi final : public Ui {
public:
    // applicationIconPath: the picture alerts show by default. Empty, or an
    // image Qt cannot read: the application's window icon, else a drawn one.
    explicit QtUi(const std::string& applicationIconPath = {});
    ~QtUi() override;
    QtUi(const QtUi&) = delete;
    QtUi& operator=(const QtUi&) = delete;

    void prepareApplication() override;
    void activate() override;
    void beep() override;
    Size layoutSize(const Alert& alert) override;
    long runModal(Alert& alert) override;
    void abortModal() override;
    std::unique_ptr<Window> createWindow(const WindowDescription& description) override;

    // While the descriptor is readable every alert ends at once with
    // alertAbortedResponse, so a flow that was interrupted (a signal noted
    // while a secret is on the clipboard) can clean up and end. -1: none.
    void abortWhenReadable(int descriptor) { m_abortDescriptor = descriptor; }

private:
    struct Icon;
    std::unique_ptr<Icon> m_icon;
    std::vector<AlertDialog*> m_modal; // the alerts running modally, innermost last
    int m_abortDescriptor = -1;
};

}
