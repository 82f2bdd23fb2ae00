#pragma once

#include "common/errors.h"
#include "platform/finder_sync_controller.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ferrolatch::testing {

// Finder's controller in memory: the watched folders, the switch, and every
// set and settings request counted.
class FakeFinderSyncController final : public FinderSyncController {
public:
    std::optional<std::set<std::string>> directoryURLs() override { return urls; }
    void setDirectoryURLs(const std::set<std::string>& given) override
    {
        if (failSet)
            throw PlatformError("NSCocoaErrorDomain", 640, "The disk is full.");
        urls = given;
        sets.push_back(given);
    }
    bool isExtensionEnabled() override { return enabled; }
    void showExtensionManagementInterface() override
    {
        if (failShow)
            throw PlatformError("NSCocoaErrorDomain", 3072, "The operation was cancelled.");
        ++settingsShown;
    }

    std::optional<std::set<std::string>> urls;
    std::vector<std::set<std::string>> sets;
    bool enabled = false;
    bool failSet = false;
    bool failShow = false;
    int settingsShown = 0;
};

}
