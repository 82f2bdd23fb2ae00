#pragma once

// A small machine for the agent's tests: a USB drive's bootstrap and data
// volumes that diskutil, open and the mounted-volume listing agree on, a main
// loop on a clock that moves only when told, and a menu bar and alerts that
// record what they show. Everything the agent does lands in one event list.
#include "agent/mount_guard.h"
#include "agent/mount_guard_uuid.h"
#include "common/constants.h"
#include "common/errors.h"
#include "crypto/manifest.h"
#include "disk/apfs_inventory.h"
#include "platform/disk_arbitration.h"
#include "platform/main_loop.h"
#include "platform/mounted_volumes.h"
#include "platform/notifications.h"
#include "platform/paths.h"
#include "platform/status_item.h"
#include "platform/tool_runner.h"
#include "platform/ui.h"
#include "platform/volume_events.h"
#include "platform/workspace.h"
#include "tests/support/drive_fakes.h"
#include "tests/support/fakes.h"
#include "tests/support/registry_fakes.h"
#include "common/path_text.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ferrolatch::testing {

using namespace drive_testing;
using Events = std::vector<std::string>;

// Timers on a clock that moves only with advance(); post() runs at the next drain.
class FakeMainLoop final : public MainLoop {
public:
    class Timer final : public DelayedTask {
    public:
        void cancel() override { m_cancelled = true; }
        bool pending() const override { return !m_cancelled && !m_ran; }
        bool m_cancelled = false;
        bool m_ran = false;
    };
    struct Entry {
        double due;
        std::shared_ptr<Timer> timer;
        Task task;
    };

    void post(Task task) override { postAfter(0, std::move(task)); }
    std::shared_ptr<DelayedTask> postAfter(double delay, Task task) override
    {
        auto timer = std::make_shared<Timer>();
        entries.push_back({now + delay, timer, std::move(task)});
        return timer;
    }
    void run() override {}
    void stop() override { ++stops; }
    void runUntil(const std::function<bool()>&) override {}
    Clock& clock() override { return m_clock; }

    // Moves time forward, running every task that falls due on the way, in order.
    void advance(double seconds)
    {
        double until = now + seconds;
        for (;;) {
            auto next = std::min_element(entries.begin(), entries.end(),
                                         [](const Entry& a, const Entry& b) { return a.due < b.due; });
            if (next == entries.end() || next->due > until)
                break;
            Entry entry = std::move(*next);
            entries.erase(next);
            now = entry.due;
            if (entry.timer->pending()) {
                entry.timer->m_ran = true;
                entry.task();
            }
        }
        now = until;
    }
    std::size_t pendingTimers() const
    {
        return static_cast<std::size_t>(
            std::count_if(entries.begin(), entries.end(), [](const Entry& e) { return e.timer->pending(); }));
    }

    double now = 0;
    int stops = 0;
    std::vector<Entry> entries;

private:
    class StillClock final : public Clock {
    public:
        double now() override { return 0; }
    } m_clock;
};

class FakeStatusItem final : public StatusItem {
public:
    explicit FakeStatusItem(Events& events) : m_events(events) {}
    bool canLoadImage(const std::string& path) override { return !unloadable.contains(path); }
    void setButton(const StatusButton& button) override
    {
        m_button = button;
        ++buttonChanges;
    }
    StatusButton button() const override { return m_button; }
    void setMenu(Menu menu, MenuDelegate* delegate) override
    {
        if (failing)
            throw PlatformError::fromErrno(EIO, "cannot publish the status item");
        if (m_menu.rows.empty() || menu.rows.empty() || m_menu.rows.front().title != menu.rows.front().title)
            m_events.push_back("status: " + (menu.rows.empty() ? std::string() : menu.rows.front().title));
        m_menu = std::move(menu);
        m_delegate = delegate;
    }
    const Menu& menu() const override { return m_menu; }

    // What the menu bar does on a click: menuWillOpen, then the row's action.
    void click(const std::string& title)
    {
        m_delegate->menuWillOpen();
        for (const MenuRow& row : m_menu.rows)
            if (row.title == title) {
                if (!row.enabled || !row.action)
                    throw std::runtime_error("row " + title + " cannot be chosen");
                std::function<void()> action = row.action;
                action();
                return;
            }
        throw std::runtime_error("no row " + title);
    }
    std::string statusLine() const { return m_menu.rows.empty() ? std::string() : m_menu.rows.front().title; }

    std::set<std::string> unloadable;
    int buttonChanges = 0;
    bool failing = false;

private:
    Events& m_events;
    StatusButton m_button;
    Menu m_menu;
    MenuDelegate* m_delegate = nullptr;
};

// What an alert showed, kept after it closed.
struct ShownAlert {
    AlertStyle style = AlertStyle::Warning;
    std::string messageText;
    std::string informativeText;
    std::vector<AlertButton> buttons;
    std::optional<PopUpButton> popUp;
};

// Alerts answered in order by a list of responses; the first button when none is left.
class FakeUi final : public Ui {
public:
    explicit FakeUi(Events& events) : m_events(events) {}
    void prepareApplication() override { m_events.push_back("prepare application"); }
    void activate() override { m_events.push_back("activate"); }
    void beep() override {}
    Size layoutSize(const Alert&) override { return {}; }
    long runModal(Alert& alert) override
    {
        m_events.push_back("alert: " + alert.messageText + " | " + alert.informativeText);
        if (onAlert)
            onAlert();
        ShownAlert shown {alert.style, alert.messageText, alert.informativeText, alert.buttons, std::nullopt};
        PopUpButton* popUp = alert.accessory ? std::get_if<PopUpButton>(&*alert.accessory) : nullptr;
        if (popUp)
            shown.popUp = *popUp;
        alerts.push_back(std::move(shown));
        if (responses.empty())
            return alertFirstButtonReturn;
        auto [response, selection] = responses.front();
        responses.pop_front();
        if (popUp)
            popUp->selectedIndex = selection;
        return response;
    }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { return nullptr; }

    std::deque<std::pair<long, std::size_t>> responses;
    std::vector<ShownAlert> alerts;
    std::function<void()> onAlert;

private:
    Events& m_events;
};

class FakeVolumeEvents final : public VolumeEvents {
public:
    Token observe(Observer given) override
    {
        observer = std::move(given);
        return 7;
    }
    void removeObserver(Token token) override { removed.push_back(token); }
    void fire(VolumeEventKind kind) { observer({kind, "/Volumes/X"}); }
    Observer observer;
    std::vector<Token> removed;
};

class CountingNotifications final : public Notifications {
public:
    void post(std::string_view) override { ++posted; }
    Token observe(std::string_view, Observer) override { return 1; }
    void removeObserver(Token) override {}
    int posted = 0;
};

class AgentPaths final : public Paths {
public:
    std::string mainBundle() override { return bundle; }
    std::optional<std::string> bundleResource(std::string_view name, std::string_view type) override
    {
        if (type != "svg" || missingResources.contains(std::string(name)))
            return std::nullopt;
        return bundle + "/Contents/Resources/" + std::string(name) + ".svg";
    }
    std::string applicationSupportDirectory() override { return "/Users/a/Library/Application Support"; }
    std::string systemFile(std::string_view path) override { return std::string(path); }
    std::optional<std::string> groupContainer(std::string_view) override { return "/Users/a/Group"; }
    std::string bundle = "/Applications/Ferrolatch.app";
    std::set<std::string> missingResources;
};

class RecordingWorkspace final : public Workspace {
public:
    explicit RecordingWorkspace(Events& events) : m_events(events) {}
    std::optional<WorkspaceImage> loadImage(const std::string&) override { return std::nullopt; }
    bool setIcon(const WorkspaceImage&, const std::string&) override { return false; }
    bool openURL(const std::string& url) override
    {
        m_events.push_back("open " + url);
        return true;
    }
    // Recorded; then what the Mac does with the drive, or its failure.
    void unmountAndEjectDevice(const std::string& url) override
    {
        m_events.push_back("eject " + url);
        if (onEject)
            onEject(url);
    }
    std::function<void(const std::string& url)> onEject;

private:
    Events& m_events;
};

// Disk Arbitration whose disks are the machine's data volumes, by device.
class FakeArbitration final : public DiskArbitration {
public:
    class Session final : public DiskArbitrationSession {
    public:
        explicit Session(FakeArbitration& owner) : m_owner(owner) {}
        void registerDiskPeekCallback(PeekCallback, void*) override {}
        void registerDiskMountApprovalCallback(MountApprovalCallback, void*) override {}
        void setDispatchQueue(std::optional<std::string_view>) override {}
        void unregisterCallback(PeekCallback, void*) override {}
        void unregisterCallback(MountApprovalCallback, void*) override {}
        std::optional<DiskDescription> copyDescription(const DiskReference& disk) override
        {
            auto found = m_owner.uuids.find(disk.bsdName);
            if (found == m_owner.uuids.end())
                return std::nullopt;
            return DiskDescription {*createCFUUIDFromString(found->second)};
        }
        bool isClaimed(const DiskReference&) override { return false; }
        void claim(const DiskReference&, ClaimReleaseCallback, void*, ClaimCallback, void*) override {}

    private:
        FakeArbitration& m_owner;
    };
    std::unique_ptr<DiskArbitrationSession> createSession() override
    {
        if (!available)
            return nullptr;
        return std::make_unique<Session>(*this);
    }
    std::map<std::string, std::string> uuids; // device -> UUID as its description gives it
    bool available = true;
};

// One set-up drive: a bootstrap volume carrying the manifest and an
// encrypted data volume.
struct FakeDrive {
    std::string disk = "disk4";
    std::string bootstrapPath = "/Volumes/FERROLATCH";
    bool bootstrapInternal = false;
    std::optional<bool> bootstrapInternalReported = false;
    bool bootstrapBrowsable = true;
    std::string uuid = "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9";
    std::string name = "Vault";
    bool locked = true;
    bool remountLosesManifest = false; // the re-mounted bootstrap has no ferrolatch.json
    bool vanishesWhenUnlocked = false; // the inventory stops listing it once unlocked
    bool attached = true;              // false once ejected or pulled out
    // What diskutil info says of the unlocked data volume besides its mount point.
    bool dataInternal = false;
    bool dataFileVault = true;

    std::string bootstrapDevice() const { return disk + "s1"; }
    std::string dataDevice() const { return disk + "s2"; }
    std::string manifestPath() const { return bootstrapPath + "/ferrolatch.json"; }
    std::string dataMountPoint() const { return "/Volumes/" + name; }
};

inline Manifest driveManifest(const FakeDrive& drive, std::string kind = "native-apfs-volume")
{
    return enrolledVolumeManifest(drive.uuid, drive.name, std::move(kind));
}

// diskutil, open and the volume listing over a few drives. The child that
// open starts unlocks its drive's volume unless childStatus says otherwise.
class FakeMachine final : public ToolRunner, public MountedVolumes {
public:
    FakeMachine(Events& events, MemoryFiles& files) : m_events(events), m_files(files) {}

    FakeDrive& add(FakeDrive drive, const std::string& manifestText = {})
    {
        drives.push_back(drive);
        m_files.putDirectory(drive.bootstrapPath);
        m_files.put(drive.manifestPath(), manifestText.empty() ? encodeManifest(driveManifest(drive)) : manifestText);
        return drives.back();
    }

    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes*) override
    {
        std::string line = lastPathComponent(executable);
        for (const std::string& word : arguments)
            line += " " + word;
        m_events.push_back(line);
        if (line == "diskutil apfs list -plist") {
            std::vector<APFSVolume> volumes;
            for (const FakeDrive& drive : drives)
                if (drive.attached && (drive.locked || !drive.vanishesWhenUnlocked))
                    volumes.push_back({drive.dataDevice(), drive.uuid, drive.name, true, drive.locked});
            return {0, inventory("disk9", volumes), ""};
        }
        for (FakeDrive& drive : drives) {
            if (!drive.attached)
                continue;
            if (line == "diskutil info -plist " + drive.bootstrapPath)
                return {0, plistDocument("<dict><key>DeviceIdentifier</key><string>" + drive.bootstrapDevice()
                                         + "</string><key>Internal</key>" + flag(drive.bootstrapInternal) + "</dict>"),
                        ""};
            if (line == "diskutil info -plist " + drive.bootstrapDevice())
                return {0, volumeInfo(drive.bootstrapPath), ""};
            if (line == "diskutil info -plist " + drive.dataDevice())
                return {0, dataVolumeInfo(drive), ""};
            if (line == "diskutil unmount " + drive.bootstrapDevice() || line == "diskutil mount nobrowse " + drive.bootstrapDevice()) {
                drive.bootstrapBrowsable = false;
                if (drive.remountLosesManifest && m_files.exists(drive.manifestPath()))
                    m_files.removeFile(drive.manifestPath());
                return {0, "", ""};
            }
            if (line == "open -n -W /Applications/Ferrolatch.app --args mount-drive " + drive.manifestPath()) {
                if (duringChild)
                    duringChild(drive);
                if (childStatus != 0 || failingChildren.contains(drive.disk))
                    return {childStatus != 0 ? childStatus : 1, "", ""};
                drive.locked = false;
                return {0, "", ""};
            }
        }
        if (executable == "/usr/bin/open")
            return {0, "", ""};
        return {1, "", "Could not find disk: " + (arguments.empty() ? "" : arguments.back())};
    }

    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override
    {
        std::vector<MountedVolumeInfo> listed {{"/", "Macintosh HD", "11111111-2222-3333-4444-555555555555", true, true, false}};
        for (const FakeDrive& drive : drives) {
            if (!drive.attached)
                continue;
            if (hidden == Hidden::Listed || drive.bootstrapBrowsable)
                listed.push_back({drive.bootstrapPath, "FERROLATCH", std::nullopt, drive.bootstrapInternalReported,
                                  drive.bootstrapBrowsable, true});
            if (!drive.locked)
                listed.push_back({drive.dataMountPoint(), drive.name, drive.uuid, false, true, true});
        }
        return listed;
    }

    FakeDrive& drive(const std::string& name)
    {
        for (FakeDrive& drive : drives)
            if (drive.name == name)
                return drive;
        throw std::runtime_error("no drive " + name);
    }

    std::deque<FakeDrive> drives;
    int childStatus = 0;
    std::set<std::string> failingChildren; // disks whose child instance exits with 1
    std::function<void(FakeDrive&)> duringChild;

private:
    static std::string dataVolumeInfo(const FakeDrive& drive)
    {
        return plistDocument("<dict><key>MountPoint</key><string>" + (drive.locked ? "" : drive.dataMountPoint())
                             + "</string><key>VolumeUUID</key><string>" + drive.uuid + "</string><key>Internal</key>"
                             + flag(drive.dataInternal) + "<key>FileVault</key>" + flag(drive.dataFileVault) + "</dict>");
    }

    Events& m_events;
    MemoryFiles& m_files;
};

}
