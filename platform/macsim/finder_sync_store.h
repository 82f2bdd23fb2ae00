#pragma once

#include "platform/finder_sync_controller.h"
#include "platform/posix/record_lock.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// Finder's side of the extension on one virtual Mac: whether the user has
// enabled it, how often its settings were opened, and the folders it asked
// Finder to watch (absent until it sets them after being loaded).
struct FinderSyncState {
    bool extensionEnabled = false;
    long settingsShown = 0;
    std::optional<std::set<std::string>> directoryURLs;
};

// private/var/db/macsim/finder-sync.json of the sysroot.
std::string finderSyncStateFile(const std::string& sysroot);
// private/var/run/macsim/finder-extension.pid: the loaded extension's process,
// written once it has set itself up.
std::string finderExtensionPidFile(const std::string& sysroot);

std::string encodeFinderSyncState(const FinderSyncState& state);
// A missing or damaged file reads as an extension never enabled nor loaded.
FinderSyncState decodeFinderSyncState(std::string_view text);

// The state file held under its lock from construction to destruction, so
// the extension, the agent and the control tool take turns. Fails with a
// PlatformError.
class FinderSyncFile {
public:
    explicit FinderSyncFile(const std::string& sysroot);
    FinderSyncFile(const FinderSyncFile&) = delete;
    FinderSyncFile& operator=(const FinderSyncFile&) = delete;

    FinderSyncState& state() { return m_state; }
    void save();

private:
    std::string m_path;
    RecordLock m_lock;
    FinderSyncState m_state;
};

// The controller as the extension and the agent see it. Unreadable state
// answers as Finder would for an extension it knows nothing of.
class MacsimFinderSyncController final : public FinderSyncController {
public:
    explicit MacsimFinderSyncController(std::string sysroot) : m_sysroot(std::move(sysroot)) {}

    std::optional<std::set<std::string>> directoryURLs() override;
    void setDirectoryURLs(const std::set<std::string>& urls) override;
    bool isExtensionEnabled() override;
    void showExtensionManagementInterface() override;

private:
    std::string m_sysroot;
};

// The extension host's record of a loaded extension: the process checks in
// once it has set itself up and out as it ends. Fails with a PlatformError.
void checkInFinderExtension(const std::string& sysroot, int pid);
void checkOutFinderExtension(const std::string& sysroot, int pid);

}
