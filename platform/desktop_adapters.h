#pragma once

#include "platform/main_loop.h"
#include "platform/pasteboard.h"
#include "platform/status_item.h"
#include "platform/ui.h"

#include <functional>
#include <string>

namespace ferrolatch {

// What a desktop session offers while the windowing toolkit is up.
struct DesktopSession {
    MainLoop& loop;
    Ui& ui;
    Pasteboard& pasteboard;
    StatusItem& statusItem; // created on first use
};

// The desktop's adapters. They live in a plug-in of the bundle that only
// commands showing UI load, so that the others never map the toolkit.
class DesktopAdapters {
public:
    virtual ~DesktopAdapters() = default;
    // Starts the toolkit on the process's main thread, runs body inside it and
    // shuts the toolkit down again when body returns or throws. While
    // interruptionDescriptor (-1 for none) is readable, alerts end at once.
    virtual void run(const std::function<void(DesktopSession&)>& body, const std::string& applicationIconPath,
                     int interruptionDescriptor) = 0;
};

}

// The plug-in's one entry point: its adapters, alive until the process ends.
extern "C" ferrolatch::DesktopAdapters* ferrolatch_desktop_adapters();
