#pragma once

#include "platform/files.h"
#include "platform/finder_sync_controller.h"
#include "platform/log.h"
#include "platform/mounted_volumes.h"
#include "platform/notifications.h"
#include "platform/paths.h"
#include "platform/volume_events.h"

#include <vector>

namespace ferrolatch {

// What the Finder extension reaches: the catalog's file and container, the
// log, the mounted-volume listing, the two notification centers and Finder's
// controller.
struct FinderSyncServices {
    Files& files;
    Paths& paths;
    Log& log;
    MountedVolumes& mountedVolumes;
    VolumeEvents& workspaceNotifications;
    Notifications& distributedNotifications;
    FinderSyncController& controller;
};

// The Finder extension's one object: it keeps Finder watching the mounted,
// external, enrolled volumes, recomputing them whenever a volume comes, goes
// or is renamed, and whenever the agent announces a new catalog. Everything
// runs on the main loop.
class FerrolatchFinderSync {
public:
    // Observes the workspace's did-mount, did-unmount and did-rename-volume,
    // then the catalog's change notification, and refreshes once.
    explicit FerrolatchFinderSync(const FinderSyncServices& services);
    // Removes every observer.
    ~FerrolatchFinderSync();

    FerrolatchFinderSync(const FerrolatchFinderSync&) = delete;
    FerrolatchFinderSync& operator=(const FerrolatchFinderSync&) = delete;

    // Sets Finder's watched folders when they differ from the enrolled mounted
    // volumes. A missing or damaged catalog counts as an empty one; nothing
    // here stops the extension.
    void refresh();

private:
    FinderSyncServices m_services;
    std::vector<VolumeEvents::Token> m_workspaceObservers;
    std::vector<Notifications::Token> m_distributedObservers;
};

}
