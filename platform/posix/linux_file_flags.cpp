#include "platform/posix/linux_file_flags.h"

#include "common/errors.h"

#include <cerrno>
#include <charconv>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ferrolatch::emulated {

std::uint32_t readFileFlags(const std::string& path, bool followLinks)
{
    char text[16];
    ssize_t length = followLinks ? getxattr(path.c_str(), fileFlagsAttribute, text, sizeof text)
                                 : lgetxattr(path.c_str(), fileFlagsAttribute, text, sizeof text);
    if (length < 0) {
        int number = errno;
        if (number == ENODATA || number == ENOTSUP || number == EPERM)
            return 0;
        throw PlatformError::fromErrno(number, "could not read flags of " + path);
    }
    std::uint32_t flags = 0;
    auto [end, error] = std::from_chars(text, text + length, flags);
    if (error != std::errc() || end != text + length)
        return 0; // not written by us: no flags rather than guessed ones
    return flags;
}

namespace {

// Zero, or the errno of the attribute change.
int storeFileFlags(const std::string& path, std::uint32_t flags)
{
    if (flags == 0)
        return removexattr(path.c_str(), fileFlagsAttribute) == 0 || errno == ENODATA ? 0 : errno;
    std::string text = std::to_string(flags);
    return setxattr(path.c_str(), fileFlagsAttribute, text.data(), text.size(), 0) == 0 ? 0 : errno;
}

}

void writeFileFlags(const std::string& path, std::uint32_t flags)
{
    int number = storeFileFlags(path, flags);
    // The Mac lets a file's owner change its flags whatever its mode, but Linux
    // allows user attributes only on a writable file: an owner's read-only file
    // (a protected marker, mode 0444) is lent write access for the change.
    struct stat info {};
    if (number == EACCES && stat(path.c_str(), &info) == 0 && info.st_uid == geteuid()
        && chmod(path.c_str(), (info.st_mode & 07777) | S_IWUSR) == 0) {
        number = storeFileFlags(path, flags);
        if (chmod(path.c_str(), info.st_mode & 07777) != 0 && number == 0)
            number = errno;
    }
    if (number != 0)
        throw PlatformError::fromErrno(number, "could not set flags of " + path);
}

}
