#pragma once

#include "platform/main_loop.h"
#include "platform/pasteboard.h"
#include "platform/ui.h"

#include <functional>
#include <memory>
#include <string>

namespace ferrolatch {

// What a desktop session offers while Qt is up.
struct QtSession {
    MainLoop& loop;
    Ui& ui;
    Pasteboard& pasteboard;
};

// Starts Qt on the process's main thread (a QApplication, then the main loop,
// the alerts and the clipboard over it), runs body inside it, and shuts Qt
// down again when body returns or throws. Called from any other thread it
// stops the process: that is a programming error, not a failure to report.
// An application that already exists on the main thread is used as it is.
// interruptionDescriptor: while it is readable, alerts end at once (see
// QtUi::abortWhenReadable); -1 for none.
void runInQtApplication(const std::function<void(QtSession&)>& body, const std::string& applicationIconPath = {},
                        int interruptionDescriptor = -1);

// The main-thread application context of a desktop session, for the command
// frame. Its ports exist from the start so that main can hand them out; they
// reach Qt only while a handler runs inside operator(), and using them at any
// other time stops the process. Commands that are not UI-marked never enter
// it, so they never load or initialise Qt.
class QtApplicationContext {
public:
    explicit QtApplicationContext(std::string applicationIconPath = {}, int interruptionDescriptor = -1);
    ~QtApplicationContext();
    QtApplicationContext(const QtApplicationContext&) = delete;
    QtApplicationContext& operator=(const QtApplicationContext&) = delete;

    MainLoop& mainLoop();
    Ui& ui();
    Pasteboard& pasteboard();

    // Runs handler with Qt initialised; the frame's ApplicationContext.
    void operator()(const std::function<void()>& handler);

private:
    struct Ports;
    std::string m_iconPath;
    int m_interruptionDescriptor;
    std::unique_ptr<Ports> m_ports;
};

}
