#pragma once

#include "platform/desktop_adapters.h"

#include <functional>
#include <memory>
#include <string>

namespace ferrolatch {

// Loads the desktop plug-in at path (once per process; it stays loaded) and
// returns its adapters. Fails with a ProofError naming the reason.
DesktopAdapters& loadDesktopPlugin(const std::string& path);

// The main-thread application context of a desktop session, for the command
// frame. Its ports exist from the start so that they can be handed out; they
// reach the desktop only while a handler runs inside operator(), and using
// them at any other time stops the process. The adapters are asked for on the
// first entry, so commands that never enter it never load the plug-in.
class DesktopApplicationContext {
public:
    explicit DesktopApplicationContext(std::function<DesktopAdapters&()> adapters,
                                       std::string applicationIconPath = {}, int interruptionDescriptor = -1);
    ~DesktopApplicationContext();
    DesktopApplicationContext(const DesktopApplicationContext&) = delete;
    DesktopApplicationContext& operator=(const DesktopApplicationContext&) = delete;

    MainLoop& mainLoop();
    Ui& ui();
    Pasteboard& pasteboard();
    StatusItem& statusItem();

    // Runs handler inside the desktop session.
    void operator()(const std::function<void()>& handler);

private:
    struct Ports;
    std::function<DesktopAdapters&()> m_adapters;
    std::string m_iconPath;
    int m_interruptionDescriptor;
    std::unique_ptr<Ports> m_ports;
};

}
