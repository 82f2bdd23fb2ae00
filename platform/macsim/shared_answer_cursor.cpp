#include "platform/macsim/shared_answer_cursor.h"

#include "common/errors.h"
#include "common/hex.h"
#include "common/sha256.h"
#include "platform/posix/file_descriptor.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace ferrolatch {

SharedAnswerCursor::SharedAnswerCursor(const std::string& sysroot, std::string_view scriptText)
{
    std::string directory = sysroot + "/private/var/run/macsim/ui-script";
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    m_path = directory + "/" + hexString(sha256(scriptText));
}

std::size_t SharedAnswerCursor::take()
{
    FileDescriptor file(::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!file.isOpen())
        throw PlatformError::fromErrno(errno, "cannot open the shared UI script's place " + m_path);
    // Released when the descriptor closes.
    while (::flock(file.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            throw PlatformError::fromErrno(errno, "cannot lock " + m_path);
    char text[32] = {};
    ssize_t length = ::pread(file.get(), text, sizeof text - 1, 0);
    std::size_t index = 0;
    if (length > 0)
        std::from_chars(text, text + length, index);
    std::string next = std::to_string(index + 1);
    if (::ftruncate(file.get(), 0) != 0
        || ::pwrite(file.get(), next.data(), next.size(), 0) != static_cast<ssize_t>(next.size()))
        throw PlatformError::fromErrno(errno, "cannot advance " + m_path);
    return index;
}

}
