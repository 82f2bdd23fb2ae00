#pragma once

#include "platform/desktop_adapters.h"

#include <functional>
#include <memory>
#include <string>

namespace ferrolatch {

// What a desktop session offers while Qt is up.
using QtSession = DesktopSession;

// Starts Qt on the process's main thread (a QApplication, then the main loop,
// the alerts and the clipboard over it), runs body inside it, and shuts Qt
// down again when body returns or throws. Called from any other thread it
// stops the process: that is a programming error, not a failure to report.
// An application that already exists on the main thread is used as it is.
// interruptionDescriptor: while it is readable, alerts end at once (see
// QtUi::abortWhenReadable); -1 for none.
void runInQtApplication(const std::function<void(QtSession&)>& body, const std::string& applicationIconPath = {},
                        int interruptionDescriptor = -1);

// The Qt adapters behind the desktop plug-in's entry point: run() is
// runInQtApplication. The product reaches them through its application
// context (platform/posix/desktop_plugin.h), which loads the plug-in.
DesktopAdapters& qtDesktopAdapters();

}
