#include "platform/macsim/macsim_workspace.h"

#include "platform/posix/atomic_write.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

std::uint32_t bigEndian32(std::string_view bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < 4; ++index)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + index]);
    return value;
}

bool markCustomIcon(const std::string& folder)
{
    std::array<char, 32> finderInfo {};
    ssize_t length = getxattr(folder.c_str(), finderInfoAttribute, finderInfo.data(), finderInfo.size());
    // ERANGE: longer than Finder info can be.
    if (length < 0 && errno != ENODATA && errno != ERANGE)
        return false;
    if (length != static_cast<ssize_t>(finderInfo.size()))
        finderInfo.fill(0); // none yet, or not Finder info: start from scratch
    auto flags = static_cast<unsigned>((static_cast<unsigned char>(finderInfo[8]) << 8) |
                                       static_cast<unsigned char>(finderInfo[9]));
    flags |= finderHasCustomIcon;
    finderInfo[8] = static_cast<char>((flags >> 8) & 0xFF);
    finderInfo[9] = static_cast<char>(flags & 0xFF);
    return setxattr(folder.c_str(), finderInfoAttribute, finderInfo.data(), finderInfo.size(), 0) == 0;
}

}

bool isIcnsImage(std::string_view bytes)
{
    if (bytes.size() < 16 || bytes.substr(0, 4) != "icns" || bigEndian32(bytes, 4) != bytes.size())
        return false;
    std::size_t at = 8;
    while (at < bytes.size()) {
        if (bytes.size() - at < 8)
            return false;
        std::uint32_t length = bigEndian32(bytes, at + 4);
        if (length <= 8 || length > bytes.size() - at)
            return false;
        at += length;
    }
    return true;
}

std::optional<WorkspaceImage> MacsimWorkspace::loadImage(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return std::nullopt;
    std::ostringstream contents;
    contents << stream.rdbuf();
    std::string bytes = contents.str();
    if (!isIcnsImage(bytes))
        return std::nullopt;
    return WorkspaceImage {std::move(bytes)};
}

bool MacsimWorkspace::setIcon(const WorkspaceImage& image, const std::string& path)
{
    // Only folders (volume roots among them) take a custom icon here.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    return writeThroughTemporary(path + "/.VolumeIcon.icns", image.bytes, 0644) == 0 && markCustomIcon(path);
}

}
