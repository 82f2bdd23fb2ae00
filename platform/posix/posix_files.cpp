#include "platform/posix/posix_files.h"

#include "common/path_text.h"
#include "common/errors.h"
#include "platform/posix/atomic_write.h"
#include "platform/posix/linux_file_flags.h"
#include "platform/posix/file_descriptor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

constexpr std::uint32_t immutableFlag = static_cast<std::uint32_t>(FileFlag::UserImmutable);

[[noreturn]] void fail(int number, const std::string& operation)
{
    throw PlatformError::fromErrno(number, operation);
}

// errno is read before the message is built, so building it cannot disturb it.
[[noreturn]] void fail(const char* operation, const std::string& path)
{
    int number = errno;
    fail(number, std::string(operation) + " " + path);
}

// Manifests arrive on removable drives: a FIFO there must not block the open,
// and a FIFO or a link to a device must not be read without end.
FileDescriptor openRegularFile(const std::string& path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        fail("could not read", path);
    struct stat info {};
    if (fstat(fd.get(), &info) != 0)
        fail("could not read", path);
    if (S_ISDIR(info.st_mode))
        fail(EISDIR, "could not read " + path);
    if (!S_ISREG(info.st_mode))
        throw PlatformError(posixErrorDomain, EINVAL, "could not read " + path + ": not a regular file");
    return fd;
}

bool isMissing(int number)
{
    return number == ENOENT || number == ENOTDIR;
}

using emulated::readFileFlags;
using emulated::writeFileFlags;

class PosixFileReader final : public FileReader {
public:
    PosixFileReader(FileDescriptor fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}

    std::size_t read(std::span<std::uint8_t> buffer) override
    {
        for (;;) {
            ssize_t count = ::read(m_fd.get(), buffer.data(), buffer.size());
            if (count >= 0)
                return static_cast<std::size_t>(count);
            if (errno != EINTR)
                fail("could not read", m_path);
        }
    }

private:
    FileDescriptor m_fd;
    std::string m_path;
};

bool isImmutable(const std::string& path)
{
    return (readFileFlags(path, true) & immutableFlag) != 0;
}

// The Mac's kernel refuses these on a user-immutable file; so do we.
void refuseIfImmutable(const std::string& path, const char* operation, const std::string& named)
{
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && isImmutable(path))
        fail(EPERM, std::string(operation) + " " + named);
}

void refuseIfImmutable(const std::string& path, const char* operation)
{
    refuseIfImmutable(path, operation, path);
}

// Nor may an immutable directory gain, lose or swap an entry.
void refuseIfDirectoryImmutable(const std::string& path, const char* operation)
{
    refuseIfImmutable(parentDirectory(path), operation, path);
}

void syncDirectory(const std::string& directory, const std::string& path)
{
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        fail("could not write", path);
    // Some file systems cannot flush a directory; the rename stands there anyway.
    if (fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP)
        fail("could not write", path);
}

}

bool PosixFiles::exists(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0)
        return true;
    if (isMissing(errno))
        return false;
    // Unknown is not "free": callers use this to avoid replacing user data.
    fail("could not read attributes of", path);
}

namespace {

FileAttributes attributesOf(const struct stat& info, const std::string& path, bool followLinks)
{
    FileAttributes attributes;
    if (S_ISREG(info.st_mode))
        attributes.type = FileAttributes::Type::Regular;
    else if (S_ISDIR(info.st_mode))
        attributes.type = FileAttributes::Type::Directory;
    else if (S_ISLNK(info.st_mode))
        attributes.type = FileAttributes::Type::SymbolicLink;
    attributes.size = static_cast<std::uint64_t>(info.st_size);
    attributes.mode = info.st_mode & 07777;
    attributes.flags = readFileFlags(path, followLinks);
    return attributes;
}

}

std::optional<FileAttributes> PosixFiles::attributes(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (isMissing(errno))
            return std::nullopt;
        fail("could not read attributes of", path);
    }
    return attributesOf(info, path, false);
}

std::optional<FileAttributes> PosixFiles::attributesFollowingLinks(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (isMissing(errno))
            return std::nullopt;
        fail("could not read attributes of", path);
    }
    return attributesOf(info, path, true);
}

bool PosixFiles::isWritable(const std::string& path)
{
    if (access(path.c_str(), W_OK) != 0)
        return false;
    return !isImmutable(path);
}

std::string PosixFiles::readFile(const std::string& path)
{
    return readFileAtMost(path, std::string().max_size() - 1);
}

std::string PosixFiles::readFileAtMost(const std::string& path, std::size_t limit)
{
    FileDescriptor fd = openRegularFile(path);
    std::string bytes;
    char buffer[65536];
    // One byte past the limit is enough to tell the caller the file is larger.
    while (bytes.size() <= limit) {
        std::size_t wanted = std::min(sizeof buffer, limit + 1 - bytes.size());
        ssize_t count = ::read(fd.get(), buffer, wanted);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail("could not read", path);
        }
        if (count == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

void PosixFiles::writeFileAtomically(const std::string& path, const std::string& bytes)
{
    refuseIfImmutable(path, "could not write");
    writeFile(path, bytes, Placement::Replace);
}

void PosixFiles::writeNewFileAtomically(const std::string& path, const std::string& bytes)
{
    writeFile(path, bytes, Placement::KeepExisting);
}

void PosixFiles::writeFile(const std::string& path, const std::string& bytes, Placement placement)
{
    refuseIfDirectoryImmutable(path, "could not write");
    // 0666 under the umask: the process's default file-creation mode.
    if (int number = writeThroughTemporary(path, bytes, 0666, placement))
        fail(number, "could not write " + path);
    syncDirectory(parentDirectory(path), path);
}

void PosixFiles::removeFile(const std::string& path)
{
    refuseIfImmutable(path, "could not remove");
    refuseIfDirectoryImmutable(path, "could not remove");
    if (::remove(path.c_str()) != 0)
        fail("could not remove", path);
}

namespace {

// Makes each missing directory of the path; forced, the mode is applied
// exactly, else the umask narrows it as it does for any new directory.
void makeDirectories(const std::string& path, mode_t mode, bool forced)
{
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        std::string prefix = path.substr(0, position);
        if (prefix.empty())
            continue;
        struct stat existing {};
        if (lstat(prefix.c_str(), &existing) != 0 && errno == ENOENT)
            refuseIfImmutable(parentDirectory(prefix), "could not create directory", path);
        if (mkdir(prefix.c_str(), mode) == 0) {
            if (forced && chmod(prefix.c_str(), mode) != 0)
                fail("could not create directory", path);
            continue;
        }
        if (errno != EEXIST)
            fail("could not create directory", path);
        struct stat info {};
        if (stat(prefix.c_str(), &info) != 0)
            fail("could not create directory", path);
        if (!S_ISDIR(info.st_mode))
            fail(ENOTDIR, "could not create directory " + path);
    }
}

}

void PosixFiles::createDirectory(const std::string& path, std::uint32_t mode)
{
    // The umask must not narrow or widen what the caller asked for.
    makeDirectories(path, static_cast<mode_t>(mode), true);
}

void PosixFiles::createDirectoryWithDefaultMode(const std::string& path)
{
    makeDirectories(path, 0777, false);
}

std::optional<std::string> PosixFiles::resolvedPath(const std::string& path)
{
    std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), std::free);
    if (resolved)
        return std::string(resolved.get());
    if (isMissing(errno))
        return std::nullopt;
    fail("could not resolve", path);
}

std::vector<std::string> PosixFiles::listDirectory(const std::string& path)
{
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(path.c_str()), closedir);
    if (!directory)
        fail("could not list", path);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* entry = readdir(directory.get());
        if (!entry) {
            if (errno != 0)
                fail("could not list", path);
            return names;
        }
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
}

void PosixFiles::setMode(const std::string& path, std::uint32_t mode)
{
    refuseIfImmutable(path, "could not change mode of");
    if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        fail("could not change mode of", path);
}

void PosixFiles::setFlags(const std::string& path, std::uint32_t flags)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        fail("could not set flags of", path);
    writeFileFlags(path, readFileFlags(path, true) | flags);
}

void PosixFiles::clearFlags(const std::string& path, std::uint32_t flags)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        fail("could not set flags of", path);
    writeFileFlags(path, readFileFlags(path, true) & ~flags);
}

std::unique_ptr<FileReader> PosixFiles::openForReading(const std::string& path)
{
    FileDescriptor fd = openRegularFile(path);
    // Read once front to back: let the kernel read ahead generously.
    (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixFileReader>(std::move(fd), path);
}

std::optional<std::uint64_t> PosixFiles::freeSpace(const std::string& path)
{
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0)
        fail("could not read the free space of", path);
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

}
