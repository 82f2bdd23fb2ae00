#pragma once

#include "platform/tool_runner.h"
#include "platform/workspace.h"

#include <functional>
#include <string>

namespace ferrolatch {

// The virtual Mac's workspace together with its window server: running
// applications, their on-screen windows and the screens, kept in the
// sysroot's private/var/run/windows.json. Icons are left to the workspace it
// wraps.
//
// The state file, every key optional:
//   {"screens": [{"frame": RECT, "visibleFrame": RECT}, ...],
//    "mainScreen": INDEX,
//    "applications": [{"name": "Passwords", "bundleIdentifier": "com.apple.Passwords",
//                      "processIdentifier": 4242, "running": false,
//                      "windows": [{"layer": 0, "bounds": {"X": .., "Y": .., "Width": .., "Height": ..}}]}]}
// RECT is {"x", "y", "width", "height"} in screen coordinates (origin bottom
// left); window bounds are in the window server's (origin top left). Without
// the file, or for a key it leaves out, the Mac has one 1440 by 900 screen
// with a 25-point menu bar, and Passwords, not running, with one 800 by 600
// window centred below the menu bar. An application runs when the state says
// so or once "open -a" has been asked for it by name or bundle identifier.
//
// A URL the workspace is asked to open is recorded in the open log as
// {"application": "", "targets": [URL]}, as "open URL" records it, and handed
// on to the desktop's browser when one is set.
//
// Unmount-and-eject runs the Mac's "diskutil eject" on the mount location
// through the tool runner, which ejects the whole drive; without a runner it
// refuses as a workspace that cannot eject.
class MacsimDesktopWorkspace final : public Workspace {
public:
    MacsimDesktopWorkspace(Workspace& icons, std::string sysroot, ToolRunner* tools = nullptr);

    std::optional<WorkspaceImage> loadImage(const std::string& path) override { return m_icons.loadImage(path); }
    bool setIcon(const WorkspaceImage& image, const std::string& path) override { return m_icons.setIcon(image, path); }

    std::vector<std::int64_t> runningApplicationPIDs(std::string_view bundleIdentifier) override;
    std::optional<std::vector<WindowListEntry>> onScreenWindowList() override;
    std::vector<Screen> screens() override;
    std::optional<Screen> mainScreen() override;
    // Recorded in the open log as "open" records its requests: a directory's
    // file URL as {"application": "Finder", "targets": [URL]}, any other URL
    // with no application; then handed to the desktop's browser, if one is set.
    bool openURL(const std::string& url) override;
    // A refusal because a file on the drive is open reads as Finder's; any
    // other failure carries diskutil's own line.
    void unmountAndEjectDevice(const std::string& url) override;

    using Browser = std::function<bool(const std::string& url)>;
    void handURLsTo(Browser browser) { m_browser = std::move(browser); }

    static std::string stateFile(const std::string& sysroot) { return sysroot + "/private/var/run/windows.json"; }
    static std::string openLog(const std::string& sysroot) { return sysroot + "/private/var/log/macsim/open.jsonl"; }

private:
    Workspace& m_icons;
    std::string m_sysroot;
    ToolRunner* m_tools;
    Browser m_browser;
};

}
