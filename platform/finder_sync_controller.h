#pragma once

#include <optional>
#include <set>
#include <string>

namespace ferrolatch {

// The Finder Sync controller (FIFinderSyncController): the folders the
// extension asks Finder to watch, and the user's switch for the extension.
class FinderSyncController {
public:
    virtual ~FinderSyncController() = default;

    // The directories Finder watches for this extension; absent when none
    // were ever set since Finder loaded it.
    virtual std::optional<std::set<std::string>> directoryURLs() = 0;
    virtual void setDirectoryURLs(const std::set<std::string>& urls) = 0;

    // Whether the user has enabled the extension in the system's settings.
    virtual bool isExtensionEnabled() = 0;
    // Opens the system's settings where the user enables the extension.
    virtual void showExtensionManagementInterface() = 0;
};

}
