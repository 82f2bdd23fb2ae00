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
    FakeFileEvents fileEvents;
    FakeLocalChannels channels;
    std::ostringstream out;
    bool capable = true;
    int probes = 0;
    Platform platform {.tools = machine, .out = out, .files = files, .log = log, .paths = paths,
                       .workspace = workspace, .mainLoop = loop, .ui = ui, .diskArbitration = arbitration,
                       .notifications = notifications, .volumeEvents = volumeEvents, .mountedVolumes = machine,
                       .statusItem = statusItem, .loginItem = loginItem, .finderSync = finderSync,
                       .fileEvents = fileEvents, .channels = channels};

    AgentBench()
    {
        // As the workspace does: each change is heard on the main loop.
        machine.announce = [this](VolumeEventKind kind) { loop.post([this, kind] { volumeEvents.fire(kind); }); };
    }

    std::shared_ptr<FerrolatchAgent> start()
    {
        return FerrolatchAgent::create(platform, suppression, [this] {
            ++probes;
            return capable;
        });
    }

    // A drive that set-up has registered on this Mac.
    FakeDrive& enroll(FakeDrive drive)
    {
        registerDrive(files, paths, suppression, driveManifest(drive));
        arbitration.uuids[drive.dataDevice()] = drive.uuid;
        return machine.add(drive);
    }

    // Runs the main loop until nothing more falls due within a minute: the
    // insertion, its scan and every scan the mounts it made bring about.
    void settle() { loop.advance(60); }

    // The children started with these words ("mount-drive /Volumes/FERROLATCH/ferrolatch.json").
    long children(const std::string& words) const
    {
        return count("open -n -W --stderr ERRORS /Applications/Ferrolatch.app --args " + words);
    }
    long finderWindows() const
    {
        return std::count_if(events.begin(), events.end(), [](const std::string& event) {
            return event.starts_with("open file://");
        });
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
