#include "platform/posix/linux_calls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace ferrolatch::linux_calls {

int makeCloseOnExecPipe(int fds[2])
{
    return pipe2(fds, O_CLOEXEC) == 0 ? 0 : errno;
}

int renameWithoutReplacing(const std::string& from, const std::string& to)
{
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

std::string executablePath()
{
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string();
}

}
