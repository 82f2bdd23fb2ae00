#pragma once

#include <string>

// The Linux calls the POSIX adapters use where POSIX has no single call for
// the job. A Mac build gives these its own file (pipe + FD_CLOEXEC under a
// lock, renamex_np with RENAME_EXCL, _NSGetExecutablePath).
namespace ferrolatch::linux_calls {

// A pipe whose both ends are close-on-exec from the start; zero or errno.
int makeCloseOnExecPipe(int fds[2]);

// Renames, refusing an existing target; zero or errno (EINVAL or ENOSYS where
// the file system cannot do it).
int renameWithoutReplacing(const std::string& from, const std::string& to);

// This process's executable; empty when it cannot be read.
std::string executablePath();

}
