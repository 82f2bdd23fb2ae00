#pragma once

#include "platform/files.h"
#include "platform/interruption.h"
#include "platform/keychain.h"
#include "platform/log.h"
#include "platform/loopback_sockets.h"
#include "platform/login_item.h"
#include "platform/main_loop.h"
#include "platform/passkey_service.h"
#include "platform/pasteboard.h"
#include "platform/paths.h"
#include "platform/preferences.h"
#include "platform/status_item.h"
#include "platform/tool_runner.h"
#include "platform/ui.h"
#include "platform/unavailable_services.h"
#include "platform/workspace.h"

#include <cstdint>
#include <istream>
#include <ostream>

namespace ferrolatch {

// The services a command may use, built once by main and handed down.
// Logic takes the few it needs; nothing reaches them any other way.
struct Platform {
    ToolRunner& tools;
    std::ostream& out; // the command's result lines
    Files& files;
    Log& log;
    Paths& paths;
    Workspace& workspace;
    // The interactive services; a Platform built without them refuses their use.
    MainLoop& mainLoop = unavailable::mainLoop();
    Ui& ui = unavailable::ui(); // for UI-marked handlers only
    PasskeyService& passkeys = unavailable::passkeys();
    // Other applications' preferences (the system APFS agent's, for its prompt).
    Preferences& preferences = unavailable::preferences();
    std::uint32_t realUserID = 0; // of this process, for looking up the user's own processes
    Pasteboard& pasteboard = unavailable::pasteboard();
    // Where a command waits for the user's Return; main passes standard input.
    std::istream& input = unavailable::input();
    // Consulted by the flows that put a secret on the clipboard.
    Interruption& interruption = unavailable::interruption();
    // The agent's system services: disk arbitration, notifications between
    // processes, the workspace's volume events and the mounted-volume listing.
    DiskArbitration& diskArbitration = unavailable::diskArbitration();
    Notifications& notifications = unavailable::notifications();
    VolumeEvents& volumeEvents = unavailable::volumeEvents();
    MountedVolumes& mountedVolumes = unavailable::mountedVolumes();
    // SecItem and the shared-web-credential service.
    Keychain& keychain = unavailable::keychain();
    // The agent's item in the menu bar.
    StatusItem& statusItem = unavailable::statusItem();
    // The browser ceremony's local proof server.
    LoopbackSockets& loopback = unavailable::loopbackSockets();
    // The application's own login item (service management).
    LoginItem& loginItem = unavailable::loginItem();
    // The Finder extension's controller: its watched folders and whether it is on.
    FinderSyncController& finderSync = unavailable::finderSyncController();
    // Changes of files the agent follows (the registry, the system APFS agent).
    FileEvents& fileEvents = unavailable::fileEvents();
    // The channel between the user's commands and the running agent.
    LocalChannels& channels = unavailable::localChannels();
};

}
