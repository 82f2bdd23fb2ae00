#include "platform/macsim/macsim_pasteboard.h"

#include "common/errors.h"
#include "platform/posix/atomic_write.h"
#include "platform/posix/file_descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

void makeDirectories(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

}

MacsimPasteboard::MacsimPasteboard(std::string sysroot) : m_file(pasteboardFile(sysroot)) {}

void MacsimPasteboard::clearContents()
{
    if (::unlink(m_file.c_str()) != 0 && errno != ENOENT)
        throw PlatformError::fromErrno(errno, "clear the pasteboard " + m_file);
}

bool MacsimPasteboard::setString(std::span<const std::uint8_t> utf8)
{
    makeDirectories(m_file.substr(0, m_file.rfind('/')));
    // Written beside the target and renamed, so a reader never sees half a field.
    return writeThroughTemporary(m_file, utf8, 0600) == 0;
}

std::optional<SecretBytes> MacsimPasteboard::readString()
{
    FileDescriptor file(::open(m_file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw PlatformError::fromErrno(errno, "read the pasteboard " + m_file);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        throw PlatformError::fromErrno(errno, "read the pasteboard " + m_file);
    SecretBytes contents(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    while (filled < contents.size()) {
        ssize_t got = ::read(file.get(), contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    return filled == contents.size() ? std::move(contents) : contents.prefix(filled);
}

}
