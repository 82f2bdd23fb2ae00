#pragma once

#include <string_view>

namespace ferrolatch {

// The agent's icon: closed while no enrolled volume is mounted, open while one is.
enum class TrayState { Closed, Open };

struct TrayIcon {
    std::string_view resourceName; // an SVG of the bundle's resources
    std::string_view toolTip;
};

inline constexpr std::string_view trayFallbackTitle = "\u25C9"; // ◉, when the icon does not load

inline constexpr TrayIcon trayIcon(TrayState state)
{
    return state == TrayState::Closed ? TrayIcon {"FerrolatchStatusIcon", "Ferrolatch \u2014 no mounted disk"}
                                      : TrayIcon {"FerrolatchStatusIconContour", "Ferrolatch \u2014 disk mounted"};
}

}
