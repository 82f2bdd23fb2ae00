#include "platform/posix/record_lock.h"

#include "common/errors.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace ferrolatch {

RecordLock::RecordLock(const std::string& recordPath)
{
    std::string path = recordPath + ".lock";
    m_descriptor = FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!m_descriptor.isOpen())
        throw PlatformError::fromErrno(errno, "could not open " + path);
    while (::flock(m_descriptor.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            throw PlatformError::fromErrno(errno, "could not lock " + path);
}

}
