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
#include "platform/file_events.h"
#include "platform/local_channels.h"
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
#include <chrono>
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
    // What runs "inside" the loop, if anything; then the loop has ended.
    void run() override
    {
        if (onRun)
            onRun();
    }
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
    std::function<void()> onRun;
    std::vector<Entry> entries;

private:
    // The loop's own time, which advance() moves.
    class LoopClock final : public Clock {
    public:
        explicit LoopClock(const FakeMainLoop& loop) : m_loop(loop) {}
        double now() override { return m_loop.now; }

    private:
        const FakeMainLoop& m_loop;
    } m_clock {*this};
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

// File events fired by the test: each observed path by name.
class FakeFileEvents final : public FileEvents {
public:
    Token observe(const std::string& path, Observer observer) override
    {
        observers[++m_last] = {path, std::move(observer)};
        return m_last;
    }
    void removeObserver(Token token) override { observers.erase(token); }
    // What the Mac reports after something at the path changed.
    void fire(const std::string& path)
    {
        for (auto& [token, observed] : std::map(observers))
            if (observed.first == path)
                observed.second();
    }
    std::map<Token, std::pair<std::string, Observer>> observers;

private:
    Token m_last = 0;
};

// The user's local channel inside one process: offers by name, connections
// that hold what the service keeps for them until they go.
class FakeLocalChannels final : public LocalChannels {
public:
    class Offer final : public ChannelOffer {
    public:
        Offer(FakeLocalChannels& owner, std::string service) : m_owner(owner), m_service(std::move(service)) {}
        ~Offer() override { m_owner.offered.erase(m_service); }

    private:
        FakeLocalChannels& m_owner;
        std::string m_service;
    };
    class Connection final : public ChannelConnection {
    public:
        Connection(FakeLocalChannels& owner, std::string service) : m_owner(owner), m_service(std::move(service)) {}
        std::optional<std::string> request(std::string_view text, std::chrono::milliseconds) override
        {
            auto found = m_owner.offered.find(m_service);
            if (found == m_owner.offered.end())
                return std::nullopt;
            ChannelReply reply = found->second(text);
            if (reply.keep)
                kept.push_back(std::move(reply.keep));
            keptFor = reply.keepAtMost;
            return reply.text;
        }
        std::vector<std::shared_ptr<void>> kept;
        std::chrono::milliseconds keptFor {0};

    private:
        FakeLocalChannels& m_owner;
        std::string m_service;
    };

    std::unique_ptr<ChannelOffer> offer(std::string_view service, Handler handler) override
    {
        if (!offered.emplace(std::string(service), std::move(handler)).second)
            return nullptr;
        return std::make_unique<Offer>(*this, std::string(service));
    }
    std::unique_ptr<ChannelConnection> connect(std::string_view service) override
    {
        if (!offered.contains(std::string(service)))
            return nullptr;
        return std::make_unique<Connection>(*this, std::string(service));
    }

    std::map<std::string, Handler> offered;
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
    std::string temporaryDirectory() override { return "/private/tmp"; }
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

// Disk Arbitration whose disks are the machine's volumes, by device. The
// session keeps what the guard registers, so a test can attach a disk the
// way Disk Arbitration reports it: a peek for each of its volumes.
class FakeArbitration final : public DiskArbitration {
public:
    class Session final : public DiskArbitrationSession {
    public:
        explicit Session(FakeArbitration& owner) : m_owner(owner) {}
        ~Session() override { m_owner.session = nullptr; }
        Registration registerDiskPeekCallback(PeekCallback callback) override
        {
            peek = std::move(callback);
            return 1;
        }
        Registration registerDiskMountApprovalCallback(MountApprovalCallback callback) override
        {
            approval = std::move(callback);
            return 2;
        }
        void setDispatchQueue(std::optional<std::string_view>) override {}
        void unregisterCallback(Registration) override {}
        std::optional<DiskDescription> copyDescription(const DiskReference& disk) override
        {
            auto found = m_owner.uuids.find(disk.bsdName);
            if (found == m_owner.uuids.end())
                return std::nullopt;
            return DiskDescription {*createCFUUIDFromString(found->second)};
        }
        bool isClaimed(const DiskReference&) override { return false; }
        void claim(const DiskReference&, ClaimReleaseCallback, ClaimCallback) override {}

        PeekCallback peek;
        MountApprovalCallback approval;

    private:
        FakeArbitration& m_owner;
    };
    std::unique_ptr<DiskArbitrationSession> createSession() override
    {
        if (!available)
            return nullptr;
        auto made = std::make_unique<Session>(*this);
        session = made.get();
        ++sessions;
        return made;
    }
    // Offers a volume as its disk arrives.
    void peek(const std::string& device, const std::string& uuid)
    {
        uuids[device] = uuid;
        if (session && session->peek)
            session->peek({device, 0});
    }
    std::map<std::string, std::string> uuids; // device -> UUID as its description gives it
    bool available = true;
    Session* session = nullptr;
    int sessions = 0; // created so far
};

// One set-up drive: a bootstrap volume carrying the manifest and an
// encrypted data volume.
struct FakeDrive {
    std::string disk = "disk4"; // also the APFS container of both volumes
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
    std::string physicalStore() const { return disk + "0s2"; } // the container's partition of the USB disk
    // Made from the disk's name, so that each drive's bootstrap volume has its own.
    std::string bootstrapVolumeUUID() const
    {
        std::string digits = disk.substr(4);
        return "B0075742-0000-4000-8000-" + std::string(12 - std::min<std::size_t>(digits.size(), 12), '0') + digits;
    }
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
// Every mount and unmount it makes is announced, as the workspace announces
// them, the agent's own remounts and the child's unlock included.
class FakeMachine final : public ToolRunner, public MountedVolumes {
public:
    using Announce = std::function<void(VolumeEventKind kind)>;

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
        for (std::size_t index = 0; index < arguments.size(); ++index)
            // The child's error file has a random name; the events say where it goes.
            line += " " + (index == 3 && arguments[2] == "--stderr" ? std::string("ERRORS") : arguments[index]);
        m_events.push_back(line);
        if (line == "diskutil apfs list -plist")
            return {0, apfsList(), ""};
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
                announce(arguments.front() == "unmount" ? VolumeEventKind::DidUnmount : VolumeEventKind::DidMount);
                return {0, "", ""};
            }
            if (isChild(arguments, "mount-drive " + drive.manifestPath())) {
                if (duringChild)
                    duringChild(drive);
                if (childStatus != 0 || failingChildren.contains(drive.disk)) {
                    // What the child says on its standard error, open passes on to the file.
                    if (!childError.empty())
                        m_files.put(arguments[3], "ferrolatch-proof: " + childError + "\n");
                    return {childStatus != 0 ? childStatus : 1, "", ""};
                }
                if (drive.locked) {
                    drive.locked = false;
                    announce(VolumeEventKind::DidMount);
                }
                return {0, "", ""};
            }
        }
        if (executable == "/usr/bin/open") {
            if (std::optional<std::string> words = childCommand(arguments); words && otherChild)
                otherChild(*words);
            return {0, "", ""};
        }
        return {1, "", "Could not find disk: " + (arguments.empty() ? "" : arguments.back())};
    }

    std::vector<MountedVolumeInfo> mountedVolumes(Hidden hidden) override
    {
        std::vector<MountedVolumeInfo> listed {{"/", "Macintosh HD", "11111111-2222-3333-4444-555555555555", true, true, false}};
        listed.insert(listed.end(), otherVolumes.begin(), otherVolumes.end());
        for (const FakeDrive& drive : drives) {
            if (!drive.attached)
                continue;
            if (hidden == Hidden::Listed || drive.bootstrapBrowsable)
                listed.push_back({drive.bootstrapPath, "FERROLATCH", drive.bootstrapVolumeUUID(), drive.bootstrapInternalReported,
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

    // Plugs a drive in again: locked, its bootstrap browsable, each volume
    // offered to Disk Arbitration, then the bootstrap's mount announced.
    void attach(FakeDrive& drive, FakeArbitration& arbitration)
    {
        drive.attached = true;
        drive.locked = true;
        drive.bootstrapBrowsable = true;
        arbitration.peek(drive.bootstrapDevice(), drive.bootstrapVolumeUUID());
        arbitration.peek(drive.dataDevice(), drive.uuid);
        announce(VolumeEventKind::DidMount);
    }
    void detach(FakeDrive& drive)
    {
        drive.attached = false;
        announce(VolumeEventKind::DidUnmount);
    }

    // "open -n -W --stderr FILE BUNDLE --args WORDS": the words, or none for another open.
    static std::optional<std::string> childCommand(const std::vector<std::string>& arguments)
    {
        if (arguments.size() < 6 || arguments[0] != "-n" || arguments[1] != "-W" || arguments[2] != "--stderr"
            || arguments[4] != "/Applications/Ferrolatch.app" || arguments[5] != "--args")
            return std::nullopt;
        std::string words;
        for (std::size_t index = 6; index < arguments.size(); ++index)
            words += (words.empty() ? "" : " ") + arguments[index];
        return words;
    }
    static bool isChild(const std::vector<std::string>& arguments, const std::string& words)
    {
        return childCommand(arguments) == words;
    }

    std::deque<FakeDrive> drives;
    Announce announce = [](VolumeEventKind) {};
    int childStatus = 0;
    std::set<std::string> failingChildren; // disks whose child instance exits with 1
    std::string childError;                // the error line a failing child leaves
    std::function<void(FakeDrive&)> duringChild;
    std::function<void(const std::string& words)> otherChild; // a child of any other command    // Volumes of the Mac that belong to no drive (its internal ones, a backup disk).
    std::vector<APFSVolume> strangers;
    // Mounted volumes listed after the root volume and before the drives.
    std::vector<MountedVolumeInfo> otherVolumes;

private:
    std::string apfsList() const
    {
        std::string containers;
        for (const FakeDrive& drive : drives) {
            if (!drive.attached)
                continue;
            std::string rows = volumeRow(drive.bootstrapDevice(), drive.bootstrapVolumeUUID(), "FERROLATCH", false, false);
            if (drive.locked || !drive.vanishesWhenUnlocked)
                rows += volumeRow(drive.dataDevice(), drive.uuid, drive.name, true, drive.locked);
            containers += "<dict><key>ContainerReference</key><string>" + drive.disk
                + "</string><key>PhysicalStores</key><array><dict><key>DeviceIdentifier</key><string>"
                + drive.physicalStore() + "</string></dict></array><key>Volumes</key><array>" + rows + "</array></dict>";
        }
        for (const APFSVolume& volume : strangers)
            containers += "<dict><key>ContainerReference</key><string>disk1</string><key>PhysicalStores</key><array>"
                          "<dict><key>DeviceIdentifier</key><string>disk0s2</string></dict></array><key>Volumes</key>"
                          "<array>"
                + volumeRow(volume.device, volume.uuid, volume.name, volume.encrypted, volume.locked) + "</array></dict>";
        return plistDocument("<dict><key>Containers</key><array>" + containers + "</array></dict>");
    }
    static std::string volumeRow(const std::string& device, const std::string& uuid, const std::string& name,
                                 bool encrypted, bool locked)
    {
        return "<dict><key>DeviceIdentifier</key><string>" + device + "</string><key>APFSVolumeUUID</key><string>" + uuid
            + "</string><key>Name</key><string>" + name + "</string><key>Encryption</key>" + flag(encrypted)
            + "<key>Locked</key>" + flag(locked) + "</dict>";
    }

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
