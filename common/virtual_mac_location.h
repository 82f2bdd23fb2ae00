#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Where the Linux build keeps the virtual Mac it runs against. The product and
// the macsim control tool agree on it through this header.
namespace ferrolatch::virtual_mac {

// An absolute, lexically normalised path without a trailing slash, so that
// "root/", "./root" and "/x/../root" name the same sysroot in every decision.
// Relative paths are taken from workingDirectory; empty when that is unknown.
inline std::string normalizedSysroot(std::string_view path, std::string_view workingDirectory)
{
    std::filesystem::path full(path);
    if (full.is_relative()) {
        if (workingDirectory.empty() || path.empty())
            return {};
        full = std::filesystem::path(workingDirectory) / full;
    }
    std::string text = full.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// The per-user default when FERROLATCH_SYSROOT is not set:
// $XDG_DATA_HOME/ferrolatch/virtual-mac, else ~/.local/share/ferrolatch/virtual-mac.
// A relative XDG_DATA_HOME is ignored, as the XDG rules ask. Empty when
// neither names an absolute directory.
inline std::string defaultSysroot(const char* xdgDataHome, const char* home)
{
    if (xdgDataHome && *xdgDataHome == '/')
        return std::string(xdgDataHome) + "/ferrolatch/virtual-mac";
    if (home && *home == '/')
        return std::string(home) + "/.local/share/ferrolatch/virtual-mac";
    return {};
}

// The file every initialised virtual Mac has; written last by macsim init.
inline std::string stateFile(const std::string& sysroot) { return sysroot + "/private/var/db/macsim/state.json"; }

// The menu bar: one state file and one click socket per process that shows a
// status item, named by its process id.
inline std::string menuBarDirectory(const std::string& sysroot) { return sysroot + "/private/var/run/macsim/menubar"; }

}
