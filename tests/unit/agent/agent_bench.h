#pragma once

#include "agent/ferrolatch_agent.h"
#include "crypto/drive_registry.h"
#include "platform/platform.h"
#include "tests/support/agent_fakes.h"
#include "tests/support/finder_sync_fakes.h"
#include "tests/support/login_item_fakes.h"
#include "tests/support/registry_fakes.h"

#include <algorithm>
#include <sstream>

namespace ferrolatch::testing {

// An agent on the fake machine, with every port it reaches recorded.
struct AgentBench {
    Events events;
    MemoryFiles files;
    RecordingLog log;
    AgentPaths paths;
    FakeMachine machine {events, files};
    RecordingWorkspace workspace {events};
    FakeMainLoop loop;
    FakeUi ui {events};
    FakeStatusItem statusItem {events};
    FakeVolumeEvents volumeEvents;
    CountingNotifications notifications;
    FakeArbitration arbitration;
    RecordingSuppression suppression;
    FakeLoginItem loginItem {LoginItemStatus::NotRegistered};
    FakeFinderSyncController finderSync;
    std::ostringstream out;
    bool capable = true;
    Platform platform {.tools = machine, .out = out, .files = files, .log = log, .paths = paths,
                       .workspace = workspace, .mainLoop = loop, .ui = ui, .diskArbitration = arbitration,
                       .notifications = notifications, .volumeEvents = volumeEvents, .mountedVolumes = machine,
                       .statusItem = statusItem, .loginItem = loginItem, .finderSync = finderSync};

    std::shared_ptr<FerrolatchAgent> start()
    {
        return FerrolatchAgent::create(platform, suppression, [this] { return capable; });
    }

    // A drive that set-up has registered on this Mac.
    FakeDrive& enroll(FakeDrive drive)
    {
        registerDrive(files, paths, suppression, driveManifest(drive));
        arbitration.uuids[drive.dataDevice()] = drive.uuid;
        return machine.add(drive);
    }

    // Whether the guard would refuse the data volume's mount now.
    bool blocked(FerrolatchAgent& agent, const FakeDrive& drive)
    {
        arbitration.uuids[drive.dataDevice()] = drive.uuid;
        return agent.mountGuard().shouldBlock({drive.dataDevice(), 0});
    }

    long count(const std::string& event) const
    {
        return std::count(events.begin(), events.end(), event);
    }
};

}
