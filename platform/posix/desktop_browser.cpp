#include "platform/posix/desktop_browser.h"

#include <cctype>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace ferrolatch {

namespace {

// "scheme:" first, so the opener can never take the text for an option.
bool isAbsoluteURL(const std::string& url)
{
    std::size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return false;
    for (std::size_t index = 0; index < colon; ++index) {
        char c = url[index];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return url.find_first_of("\r\n") == std::string::npos;
}

}

bool openWithDesktopOpener(const std::string& url)
{
    if (!isAbsoluteURL(url))
        return false;
    // The shell backgrounds the opener and exits at once: the opener may wait
    // for the browser, and an agent that runs for days must not collect
    // children. The URL travels as an argument, never as shell text.
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char script[] = "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
    char name[] = "sh";
    char* argv[] = {shell, dashC, script, name, const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, shell, nullptr, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}
