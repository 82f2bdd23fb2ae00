#include "macsim/file_ops.h"

#include "macsim/basics.h"
#include "platform/posix/linux_file_flags.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace macsim {

std::string errnoText(const std::string& path, int number)
{
    return path + ": " + std::strerror(number);
}

namespace {

[[noreturn]] void fail(const std::string& path)
{
    throw ToolError(errnoText(path, errno));
}

void copyFileContents(const std::string& source, const std::string& destination)
{
    FileDescriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (input.get() < 0)
        fail(source);
    // Replace, never write through: an existing link or hard link stays intact.
    if (::unlink(destination.c_str()) != 0 && errno != ENOENT)
        fail(destination);
    FileDescriptor output(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (output.get() < 0)
        fail(destination);
    std::array<char, 1 << 16> buffer {};
    for (;;) {
        ssize_t count = ::read(input.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(source);
        }
        if (count == 0)
            break;
        writeAll(output.get(), buffer.data(), static_cast<std::size_t>(count), destination);
    }
}

void copyTimes(const std::string& path, const struct stat& info)
{
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        fail(path);
}

void copyEntry(const std::string& source, const std::string& destination)
{
    struct stat info {};
    if (::lstat(source.c_str(), &info) != 0)
        fail(source);
    struct stat existing {};
    bool destinationExists = ::lstat(destination.c_str(), &existing) == 0;
    if (destinationExists && !S_ISDIR(existing.st_mode) && (emulatedFlags(destination) & immutableFlag))
        throw ToolError(errnoText(destination, EPERM));
    // An immutable directory takes no new entries and lets none be replaced.
    auto slash = destination.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
    if ((!destinationExists || !S_ISDIR(existing.st_mode)) && (emulatedFlags(parent) & immutableFlag))
        throw ToolError(errnoText(destination, EPERM));

    if (S_ISDIR(info.st_mode)) {
        if (destinationExists && !S_ISDIR(existing.st_mode))
            throw ToolError(errnoText(destination, ENOTDIR));
        if (!destinationExists && ::mkdir(destination.c_str(), 0700) != 0)
            fail(destination);
        for (const std::string& name : directoryEntries(source))
            copyEntry(source + "/" + name, destination + "/" + name);
        writeExtendedAttributes(destination, readExtendedAttributes(source));
        if (::chmod(destination.c_str(), info.st_mode & 07777) != 0)
            fail(destination);
        copyTimes(destination, info);
    } else if (S_ISLNK(info.st_mode)) {
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
        if (length < 0)
            fail(source);
        target.resize(static_cast<std::size_t>(length));
        if (destinationExists && ::unlink(destination.c_str()) != 0)
            fail(destination);
        if (::symlink(target.c_str(), destination.c_str()) != 0)
            fail(destination);
        copyTimes(destination, info);
    } else if (S_ISREG(info.st_mode)) {
        copyFileContents(source, destination);
        // Attributes before the mode: without write permission an owner may not set them.
        writeExtendedAttributes(destination, readExtendedAttributes(source));
        if (::chmod(destination.c_str(), info.st_mode & 07777) != 0)
            fail(destination);
        copyTimes(destination, info);
    }
    // Devices, sockets and fifos have no place on a copied volume; skipped.
}

}

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void writeAll(int fd, const void* data, std::size_t size, const std::string& path)
{
    auto bytes = static_cast<const char*>(data);
    while (size) {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(path);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::vector<std::string> directoryEntries(const std::string& path)
{
    DIR* directory = ::opendir(path.c_str());
    if (!directory)
        fail(path);
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(directory);
    return names;
}

bool pathExists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string readFile(const std::string& path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        fail(path);
    std::string contents;
    std::array<char, 1 << 16> buffer {};
    for (;;) {
        ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(path);
        }
        if (count == 0)
            return contents;
        contents.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

void writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, unsigned mode)
{
    std::string temporary = path + ".tmp." + std::to_string(::getpid());
    try {
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
        if (fd.get() < 0)
            fail(temporary);
        writeAll(fd.get(), bytes.data(), bytes.size(), temporary);
        if (::fchmod(fd.get(), mode) != 0)
            fail(temporary);
    } catch (const ToolError&) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int number = errno;
        ::unlink(temporary.c_str());
        throw ToolError(errnoText(path, number));
    }
}

void writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode)
{
    writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), mode);
}

void readFileExactly(const std::string& path, std::span<std::uint8_t> buffer)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        fail(path);
    std::size_t filled = 0;
    std::uint8_t extra = 0;
    for (;;) {
        bool full = filled == buffer.size();
        ssize_t count = full ? ::read(fd.get(), &extra, 1) : ::read(fd.get(), buffer.data() + filled, buffer.size() - filled);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(path);
        }
        if (count == 0 && full)
            return;
        if (count == 0 || full)
            throw ToolError(path + ": not " + std::to_string(buffer.size()) + " bytes long");
        filled += static_cast<std::size_t>(count);
    }
}

void appendLine(const std::string& path, const std::string& line)
{
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        fail(path);
    std::string withEnd = line + "\n";
    writeAll(fd.get(), withEnd.data(), withEnd.size(), path);
}

void makeDirectories(const std::string& path, unsigned mode)
{
    if (path.empty() || isDirectory(path))
        return;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        makeDirectories(path.substr(0, slash), mode);
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        fail(path);
}

void removeTree(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return;
        fail(path);
    }
    if (S_ISDIR(info.st_mode)) {
        if ((info.st_mode & 0700) != 0700)
            ::chmod(path.c_str(), 0700);
        for (const std::string& name : directoryEntries(path))
            removeTree(path + "/" + name);
        if (::rmdir(path.c_str()) != 0)
            fail(path);
    } else if (::unlink(path.c_str()) != 0) {
        fail(path);
    }
}

std::string canonicalPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

ExtendedAttributes readExtendedAttributes(const std::string& path)
{
    ExtendedAttributes attributes;
    ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
    if (size <= 0)
        return attributes; // none, or a file system without them
    std::string names(static_cast<std::size_t>(size), '\0');
    size = ::llistxattr(path.c_str(), names.data(), names.size());
    if (size < 0)
        fail(path);
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t start = 0; start < names.size();) {
        std::string name = names.c_str() + start;
        start += name.size() + 1;
        if (!startsWith(name, "user."))
            continue;
        ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (length < 0)
            continue;
        std::string value(static_cast<std::size_t>(length), '\0');
        length = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (length < 0)
            continue;
        value.resize(static_cast<std::size_t>(length));
        attributes.emplace_back(std::move(name), std::move(value));
    }
    return attributes;
}

void writeExtendedAttributes(const std::string& path, const ExtendedAttributes& attributes)
{
    for (const auto& [name, value] : attributes) {
        if (::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0)
            fail(path);
    }
}

std::uint32_t emulatedFlags(const std::string& path)
{
    std::array<char, 32> value {};
    ssize_t length = ::lgetxattr(path.c_str(), ferrolatch::emulated::fileFlagsAttribute, value.data(), value.size() - 1);
    if (length <= 0)
        return 0;
    std::uint32_t flags = 0;
    std::from_chars(value.data(), value.data() + length, flags);
    return flags;
}

void copyTree(const std::string& source, const std::string& destination)
{
    copyEntry(source, destination);
}

}
