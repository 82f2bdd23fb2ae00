#pragma once

#include "common/errors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// An image the workspace has loaded; its contents mean nothing to the logic.
struct WorkspaceImage {
    std::string bytes;
};

// A rectangle in points. Which way y grows depends on who reports it: screens
// count from the bottom left of the main screen, the window server from its
// top left.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool operator==(const Rect&) const = default;
};

// One display: its whole frame and the part left by the menu bar and Dock.
struct Screen {
    Rect frame;
    Rect visibleFrame;
    bool operator==(const Screen&) const = default;
};

// One on-screen window as the window server describes it. A key the server
// left out, or gave in another type, is absent.
struct WindowListEntry {
    std::optional<std::int64_t> ownerPID;
    std::optional<std::int64_t> layer;
    std::optional<Rect> bounds; // origin at the top left of the main display, y downwards
};

// The workspace service (NSWorkspace): the parts the program asks of it.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Loads an image file; empty when it cannot be read or is not an image.
    virtual std::optional<WorkspaceImage> loadImage(const std::string& path) = 0;
    // Makes the image the custom icon of the item at the path; for a volume's
    // mount point that is its ".VolumeIcon.icns" plus the volume's custom-icon
    // mark. Reports whether the platform succeeded.
    virtual bool setIcon(const WorkspaceImage& image, const std::string& path) = 0;

    // The process identifiers of the running applications with this bundle
    // identifier; none when it is not running.
    virtual std::vector<std::int64_t> runningApplicationPIDs(std::string_view bundleIdentifier)
    {
        (void)bundleIdentifier;
        return {};
    }
    // The on-screen windows without desktop elements, front to back; nothing
    // when the window server gives no list.
    virtual std::optional<std::vector<WindowListEntry>> onScreenWindowList() { return std::nullopt; }
    // The screens in the system's order; the first one's top edge is where the
    // window server's y axis starts.
    virtual std::vector<Screen> screens() { return {}; }
    // Opens a URL with the application that handles it (a web page in the
    // browser; a directory's file URL in a Finder window). False when nothing
    // could open it.
    virtual bool openURL(const std::string& url)
    {
        (void)url;
        return false;
    }
    // The screen with the key window; absent when there is no screen.
    virtual std::optional<Screen> mainScreen() { return std::nullopt; }
    // Unmounts the volume mounted at the path and ejects its device, as
    // Finder's Eject does. Fails with a PlatformError carrying the platform's
    // description, for example when a file on the volume is open; the volume
    // then stays mounted. A workspace that cannot eject refuses.
    virtual void unmountAndEjectDevice(const std::string& url)
    {
        (void)url;
        throw PlatformError(featureUnsupportedDomain, featureUnsupportedCode,
                            "Ejecting a drive is not available on this system.");
    }

    static constexpr const char* featureUnsupportedDomain = "NSCocoaErrorDomain";
    static constexpr long featureUnsupportedCode = 3328; // NSFeatureUnsupportedError
};

}
