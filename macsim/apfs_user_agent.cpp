// The virtual Mac's per-user APFS agent: a process that lives until it is told
// to stop, so that pgrep and killall have something real to find and end.
#include <csignal>
#include <unistd.h>

int main()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;)
        pause();
}
