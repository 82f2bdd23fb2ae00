#include "platform/macsim/finder_sync_store.h"

#include "common/errors.h"
#include "platform/posix/atomic_write.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace ferrolatch {

namespace {

using nlohmann::json;

std::string readWhole(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return {};
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

}

std::string finderSyncStateFile(const std::string& sysroot) { return sysroot + "/private/var/db/macsim/finder-sync.json"; }

std::string finderExtensionPidFile(const std::string& sysroot)
{
    return sysroot + "/private/var/run/macsim/finder-extension.pid";
}

std::string encodeFinderSyncState(const FinderSyncState& state)
{
    json document = {{"extensionEnabled", state.extensionEnabled}, {"settingsShown", state.settingsShown}};
    document["directoryURLs"] = state.directoryURLs
        ? json(std::vector<std::string>(state.directoryURLs->begin(), state.directoryURLs->end()))
        : json(nullptr);
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

FinderSyncState decodeFinderSyncState(std::string_view text)
{
    FinderSyncState state;
    json document = json::parse(text, nullptr, false);
    if (!document.is_object())
        return state;
    if (document.contains("extensionEnabled") && document["extensionEnabled"].is_boolean())
        state.extensionEnabled = document["extensionEnabled"].get<bool>();
    if (document.contains("settingsShown") && document["settingsShown"].is_number_integer())
        state.settingsShown = document["settingsShown"].get<long>();
    if (document.contains("directoryURLs") && document["directoryURLs"].is_array()) {
        std::set<std::string> urls;
        for (const json& url : document["directoryURLs"])
            if (url.is_string())
                urls.insert(url.get<std::string>());
        state.directoryURLs = std::move(urls);
    }
    return state;
}

FinderSyncFile::FinderSyncFile(const std::string& sysroot) : m_path(finderSyncStateFile(sysroot)), m_lock(m_path)
{
    m_state = decodeFinderSyncState(readWhole(m_path));
}

void FinderSyncFile::save()
{
    if (int failure = writeThroughTemporary(m_path, encodeFinderSyncState(m_state), 0600))
        throw PlatformError::fromErrno(failure, "could not write " + m_path);
}

std::optional<std::set<std::string>> MacsimFinderSyncController::directoryURLs()
{
    try {
        FinderSyncFile file(m_sysroot);
        return file.state().directoryURLs;
    } catch (const PlatformError&) {
        return std::nullopt;
    }
}

void MacsimFinderSyncController::setDirectoryURLs(const std::set<std::string>& urls)
{
    FinderSyncFile file(m_sysroot);
    file.state().directoryURLs = urls;
    file.save();
}

bool MacsimFinderSyncController::isExtensionEnabled()
{
    try {
        FinderSyncFile file(m_sysroot);
        return file.state().extensionEnabled;
    } catch (const PlatformError&) {
        return false;
    }
}

void MacsimFinderSyncController::showExtensionManagementInterface()
{
    FinderSyncFile file(m_sysroot);
    ++file.state().settingsShown;
    file.save();
}

void checkInFinderExtension(const std::string& sysroot, int pid)
{
    std::string path = finderExtensionPidFile(sysroot);
    if (int failure = writeThroughTemporary(path, std::to_string(pid) + "\n", 0644))
        throw PlatformError::fromErrno(failure, "could not write " + path);
}

void checkOutFinderExtension(const std::string& sysroot, int pid)
{
    std::string path = finderExtensionPidFile(sysroot);
    // A newer extension may have checked in since; its record stays.
    if (readWhole(path) == std::to_string(pid) + "\n")
        ::unlink(path.c_str());
}

}
