#pragma once

#include "common/errors.h"

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolatch {

// Where things are on this Mac.
class Paths {
public:
    virtual ~Paths() = default;

    // The program's own application bundle (the ".app" directory).
    virtual std::string mainBundle() = 0;
    // A resource of the main bundle by name and type ("FerrolatchVolumeIconMetal",
    // "icns"); empty when the bundle has no such file.
    virtual std::optional<std::string> bundleResource(std::string_view name, std::string_view type) = 0;

    // The current user's Application Support directory, created if missing.
    // Fails with the platform's error when it can be neither found nor made.
    virtual std::string applicationSupportDirectory() = 0;
    // A fixed file of the system ("/System/Library/CoreServices/APFSUserAgent")
    // at the place this Mac keeps it.
    virtual std::string systemFile(std::string_view path) = 0;
    // The shared container of an application group this program belongs to;
    // empty when the system gives none (the entitlement is missing).
    virtual std::optional<std::string> groupContainer(std::string_view groupIdentifier)
    {
        (void)groupIdentifier;
        return std::nullopt;
    }
    // The current user's temporary directory, without a trailing slash.
    virtual std::string temporaryDirectory()
    {
        throw PlatformError::fromErrno(ENOENT, "could not find the temporary directory");
    }
};

}
