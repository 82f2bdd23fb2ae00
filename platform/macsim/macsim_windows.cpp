#include "platform/macsim/macsim_windows.h"

#include "common/errors.h"
#include "common/path_text.h"
#include "common/percent_encoding.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <filesystem>
#include <optional>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace ferrolatch {

namespace {

using nlohmann::json;

constexpr double menuBarHeight = 25;

json readJSON(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return json::object();
    std::ostringstream contents;
    contents << stream.rdbuf();
    json state = json::parse(contents.str(), nullptr, false);
    return state.is_object() ? state : json::object();
}

json defaultScreens()
{
    return json::array({{{"frame", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900}}},
                         {"visibleFrame", {{"x", 0}, {"y", 0}, {"width", 1440}, {"height", 900 - menuBarHeight}}}}});
}

json defaultApplications()
{
    double top = menuBarHeight + (900 - menuBarHeight - 600) / 2;
    return json::array({{{"name", "Passwords"},
                         {"bundleIdentifier", "com.apple.Passwords"},
                         {"processIdentifier", 4242},
                         {"running", false},
                         {"windows", json::array({{{"layer", 0},
                                                   {"bounds", {{"X", 320}, {"Y", top}, {"Width", 800}, {"Height", 600}}}}})}}});
}

std::optional<Rect> rectOf(const json& value, const char* x, const char* y, const char* width, const char* height)
{
    if (!value.is_object())
        return std::nullopt;
    for (const char* key : {x, y, width, height})
        if (!value.contains(key) || !value[key].is_number())
            return std::nullopt;
    return Rect {value[x].get<double>(), value[y].get<double>(), value[width].get<double>(), value[height].get<double>()};
}

std::optional<std::int64_t> integerOf(const json& value, const char* key)
{
    if (!value.is_object() || !value.contains(key) || !value[key].is_number_integer())
        return std::nullopt;
    return value[key].get<std::int64_t>();
}

// Names that "open -a" has been asked to start.
std::set<std::string> launchedApplications(const std::string& openLog)
{
    std::set<std::string> launched;
    std::ifstream stream(openLog, std::ios::binary);
    std::string line;
    while (std::getline(stream, line)) {
        json request = json::parse(line, nullptr, false);
        if (request.is_object() && request.contains("application") && request["application"].is_string())
            launched.insert(request["application"].get<std::string>());
    }
    return launched;
}

struct Desktop {
    json screens;
    json mainScreen;
    json applications;
};

Desktop loadDesktop(const std::string& sysroot)
{
    json state = readJSON(MacsimDesktopWorkspace::stateFile(sysroot));
    Desktop desktop;
    desktop.screens = state.contains("screens") && state["screens"].is_array() ? state["screens"] : defaultScreens();
    desktop.mainScreen = state.contains("mainScreen") ? state["mainScreen"] : json(0);
    desktop.applications = state.contains("applications") && state["applications"].is_array() ? state["applications"]
                                                                                                : defaultApplications();
    return desktop;
}

std::string textOf(const json& value, const char* key)
{
    return value.is_object() && value.contains(key) && value[key].is_string() ? value[key].get<std::string>() : "";
}

std::vector<json> runningApplications(const std::string& sysroot, const Desktop& desktop)
{
    std::set<std::string> launched = launchedApplications(MacsimDesktopWorkspace::openLog(sysroot));
    std::vector<json> running;
    for (const json& application : desktop.applications) {
        if (!application.is_object())
            continue;
        bool marked = application.contains("running") && application["running"].is_boolean()
            && application["running"].get<bool>();
        std::string name = textOf(application, "name");
        std::string identifier = textOf(application, "bundleIdentifier");
        if (marked || (!name.empty() && launched.contains(name)) || (!identifier.empty() && launched.contains(identifier)))
            running.push_back(application);
    }
    return running;
}

}

MacsimDesktopWorkspace::MacsimDesktopWorkspace(Workspace& icons, std::string sysroot, ToolRunner* tools)
    : m_icons(icons), m_sysroot(std::move(sysroot)), m_tools(tools)
{
}

std::vector<std::int64_t> MacsimDesktopWorkspace::runningApplicationPIDs(std::string_view bundleIdentifier)
{
    std::vector<std::int64_t> pids;
    for (const json& application : runningApplications(m_sysroot, loadDesktop(m_sysroot))) {
        auto pid = integerOf(application, "processIdentifier");
        if (pid && textOf(application, "bundleIdentifier") == bundleIdentifier)
            pids.push_back(*pid);
    }
    return pids;
}

std::optional<std::vector<WindowListEntry>> MacsimDesktopWorkspace::onScreenWindowList()
{
    std::vector<WindowListEntry> windows;
    for (const json& application : runningApplications(m_sysroot, loadDesktop(m_sysroot))) {
        if (!application.contains("windows") || !application["windows"].is_array())
            continue;
        for (const json& window : application["windows"]) {
            WindowListEntry entry;
            entry.ownerPID = integerOf(application, "processIdentifier");
            entry.layer = integerOf(window, "layer");
            if (window.is_object() && window.contains("bounds"))
                entry.bounds = rectOf(window["bounds"], "X", "Y", "Width", "Height");
            windows.push_back(entry);
        }
    }
    return windows;
}

std::vector<Screen> MacsimDesktopWorkspace::screens()
{
    std::vector<Screen> screens;
    for (const json& screen : loadDesktop(m_sysroot).screens) {
        if (!screen.is_object() || !screen.contains("frame"))
            continue;
        auto frame = rectOf(screen["frame"], "x", "y", "width", "height");
        auto visible = screen.contains("visibleFrame") ? rectOf(screen["visibleFrame"], "x", "y", "width", "height")
                                                       : frame;
        if (frame && visible)
            screens.push_back({*frame, *visible});
    }
    return screens;
}

std::optional<Screen> MacsimDesktopWorkspace::mainScreen()
{
    Desktop desktop = loadDesktop(m_sysroot);
    std::vector<Screen> all = screens();
    if (!desktop.mainScreen.is_number_integer() || desktop.mainScreen.get<std::int64_t>() < 0
        || desktop.mainScreen.get<std::size_t>() >= all.size())
        return std::nullopt;
    return all[desktop.mainScreen.get<std::size_t>()];
}

namespace {

constexpr std::string_view fileScheme = "file://";

// Whether a file URL names a folder, which Finder opens a window for.
bool namesFolder(const std::string& url)
{
    if (!url.starts_with(fileScheme))
        return false;
    std::string path = percentDecoded(std::string_view(url).substr(fileScheme.size()));
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}

// Recorded the way "open" records its requests: a folder as a Finder window,
// anything else for the application that claims the URL.
bool MacsimDesktopWorkspace::openURL(const std::string& url)
{
    bool folder = namesFolder(url);
    // A file URL opens only a folder that is there, as "open" fails on a missing one.
    if (url.starts_with(fileScheme) && !folder)
        return false;
    std::string application = folder ? "Finder" : "";
    std::string line = json {{"application", application}, {"targets", json::array({url})}}.dump() + "\n";
    // One append of the whole line, so that lines of several processes never interleave.
    int descriptor = ::open(openLog(m_sysroot).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    bool recorded = ::write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(descriptor);
    if (recorded && m_browser)
        return m_browser(url);
    return recorded;
}

}

namespace ferrolatch {

namespace {

constexpr const char* osStatusDomain = "NSOSStatusErrorDomain";
constexpr long fileBusyError = -47;  // fBsyErr
constexpr long volumeNotFoundError = -35; // nsvErr
constexpr long ioError = -36;  // ioErr

// The volume diskutil names as the one that would not unmount, as Finder
// names it: "Volume NAME on DEVICE failed to unmount: …".
std::optional<std::string> volumeInUse(const std::string& standardError)
{
    constexpr std::string_view prefix = "Volume ";
    constexpr std::string_view failed = " failed to unmount";
    std::istringstream lines(standardError);
    for (std::string line; std::getline(lines, line);) {
        std::size_t end = line.find(failed);
        if (!line.starts_with(prefix) || end == std::string::npos)
            continue;
        std::size_t on = line.rfind(" on disk", end);
        if (on != std::string::npos && on > prefix.size())
            return line.substr(prefix.size(), on - prefix.size());
    }
    return std::nullopt;
}

std::string firstLine(const std::string& text)
{
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return {};
    std::size_t end = text.find_first_of("\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}

void MacsimDesktopWorkspace::unmountAndEjectDevice(const std::string& url)
{
    if (!m_tools)
        Workspace::unmountAndEjectDevice(url);
    ToolOutcome outcome = m_tools->launch("/usr/sbin/diskutil", {"eject", url}, nullptr);
    if (outcome.status == 0)
        return;
    std::string name = lastPathComponent(url);
    std::string said = firstLine(outcome.standardError);
    if (said.find("dissented by PID") != std::string::npos)
        throw PlatformError(osStatusDomain, fileBusyError,
                            "The volume \u201C" + volumeInUse(outcome.standardError).value_or(name)
                                + "\u201D can\u2019t be ejected because it\u2019s currently in use.");
    if (said.starts_with("Could not find disk"))
        throw PlatformError(osStatusDomain, volumeNotFoundError, "The volume \u201C" + name + "\u201D can\u2019t be found.");
    throw PlatformError(osStatusDomain, ioError,
                        "The volume \u201C" + name + "\u201D couldn\u2019t be ejected"
                            + (said.empty() ? std::string(".") : ": " + said));
}

}
