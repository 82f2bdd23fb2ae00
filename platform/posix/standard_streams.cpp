#include "platform/posix/standard_streams.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#if !defined(__APPLE__)
#include <stdio_ext.h>
#endif
#include <string>
#include <unistd.h>

namespace ferrolatch {

void reserveStandardDescriptors()
{
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        if (::fcntl(standard, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open returns the lowest free descriptor: this one.
        int opened = ::open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != standard) {
            ::dup2(opened, standard);
            ::close(opened);
        }
    }
}

int finishStandardOutput(int status, std::ostream& error)
{
    // After a failed write the buffer still holds the bytes: flushing them
    // again could raise SIGPIPE, so a known failure is not retried.
    bool failed = !std::cout || std::ferror(stdout);
    int number = 0;
    if (!failed) {
        errno = 0;
        std::cout.flush();
        failed = !std::cout || std::fflush(stdout) != 0;
        number = failed ? errno : 0;
    }
    if (!failed)
        return status;
    // A retry at exit would fail again (or raise SIGPIPE), so it is dropped.
#if defined(__APPLE__)
    fpurge(stdout);
#else
    __fpurge(stdout);
#endif
    std::clearerr(stdout);
    std::cout.clear();
    if (status == 0) {
        std::string reason = number ? std::string(": ") + std::strerror(number) : std::string();
        error << "ferrolatch-proof: could not write to standard output" << reason << '\n' << std::flush;
        status = 1;
    }
    return status;
}

}
