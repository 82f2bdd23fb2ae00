#include "platform/posix/atomic_write.h"

#include "common/path_text.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/linux_calls.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>

namespace ferrolatch {

namespace {

// A name beside the target that no other writer picks: process, counter, time.
std::string temporaryPath(const std::string& path)
{
    static std::atomic<unsigned> counter {0};
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return parentDirectory(path) + "/." + lastPathComponent(path) + ".tmp-" + std::to_string(getpid()) + "-"
        + std::to_string(counter++) + "-" + std::to_string(now);
}

int place(const std::string& temporary, const std::string& target, Placement placement)
{
    if (placement == Placement::Replace)
        return rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
    int number = linux_calls::renameWithoutReplacing(temporary, target);
    if (number != EINVAL && number != ENOSYS)
        return number;
    // A file system without no-replace renames: a hard link refuses an existing target too.
    if (link(temporary.c_str(), target.c_str()) != 0)
        return errno;
    ::unlink(temporary.c_str());
    return 0;
}

}

int writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

int writeThroughTemporary(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                          Placement placement)
{
    std::string temporary;
    FileDescriptor file;
    for (int attempt = 0; !file.isOpen(); ++attempt) {
        temporary = temporaryPath(path);
        // A new file carries no flags, so nothing immutable is inherited or left.
        file = FileDescriptor(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!file.isOpen() && (errno != EEXIST || attempt == 16))
            return errno;
    }
    int number = writeAll(file.get(), bytes);
    if (number == 0 && fsync(file.get()) != 0)
        number = errno;
    if (file.close() != 0 && number == 0)
        number = errno;
    if (number == 0)
        number = place(temporary, path, placement);
    if (number != 0)
        ::unlink(temporary.c_str());
    return number;
}

int writeThroughTemporary(const std::string& path, std::string_view bytes, mode_t mode, Placement placement)
{
    return writeThroughTemporary(
        path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), mode, placement);
}

}
