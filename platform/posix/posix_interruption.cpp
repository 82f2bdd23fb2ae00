#include "platform/posix/posix_interruption.h"

#include "common/errors.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ferrolatch {

namespace {

constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

volatile sig_atomic_t notedSignal = 0;
volatile sig_atomic_t signalWakeWriteEnd = -1;

extern "C" void noteSignal(int number)
{
    int savedErrno = errno;
    if (notedSignal == 0)
        notedSignal = number;
    if (signalWakeWriteEnd >= 0) {
        char byte = 1;
        // A full pipe already wakes the reader; nothing more to do.
        [[maybe_unused]] ssize_t ignored = ::write(signalWakeWriteEnd, &byte, 1);
    }
    errno = savedErrno;
}

bool wasIgnored(const struct sigaction& action)
{
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}

}

InterruptibleInputBuffer::int_type InterruptibleInputBuffer::underflow()
{
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    for (;;) {
        pollfd watched[2] = {{m_wakeUp, POLLIN, 0}, {m_input, POLLIN, 0}};
        int ready = ::poll(watched, m_wakeUp >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue; // the handler has written the wake-up byte; poll again sees it
            return traits_type::eof();
        }
        if (watched[0].revents & POLLIN)
            return traits_type::eof();
        if (watched[1].revents == 0)
            continue;
        ssize_t count = ::read(m_input, m_buffer.data(), m_buffer.size());
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0)
            return traits_type::eof();
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + count);
        return traits_type::to_int_type(*gptr());
    }
}

PosixInterruption::SelfPipe PosixInterruption::makeSelfPipe()
{
    int ends[2];
    if (::pipe(ends) != 0)
        throw PlatformError::fromErrno(errno, "could not prepare signal handling");
    SelfPipe pipe {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
    for (int end : ends) {
        // Non-blocking: the handler must never wait, nor the drain in begin.
        if (::fcntl(end, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(end, F_SETFL, O_NONBLOCK) != 0)
            throw PlatformError::fromErrno(errno, "could not prepare signal handling");
    }
    return pipe;
}

PosixInterruption::PosixInterruption()
    : m_wake(makeSelfPipe()), m_inputBuffer(STDIN_FILENO, m_wake.read.get()), m_input(&m_inputBuffer)
{
}

PosixInterruption::~PosixInterruption()
{
    if (m_active) {
        for (std::size_t i = 0; i < std::size(watchedSignals); ++i)
            ::sigaction(watchedSignals[i], &m_previous[i], nullptr);
        signalWakeWriteEnd = -1;
    }
}

void PosixInterruption::begin()
{
    if (m_active)
        return;
    char drained[64];
    while (::read(m_wake.read.get(), drained, sizeof drained) > 0) {
    }
    notedSignal = 0;
    signalWakeWriteEnd = m_wake.write.get();

    struct sigaction noting {};
    noting.sa_handler = noteSignal;
    sigfillset(&noting.sa_mask);
    noting.sa_flags = 0; // no SA_RESTART: a blocked call returns, and the flow looks
    struct sigaction ignoring {};
    ignoring.sa_handler = SIG_IGN;
    sigemptyset(&ignoring.sa_mask);

    for (std::size_t i = 0; i < std::size(watchedSignals); ++i) {
        int number = watchedSignals[i];
        ::sigaction(number, nullptr, &m_previous[i]);
        if (number == SIGPIPE)
            ::sigaction(number, &ignoring, nullptr); // the write fails with EPIPE instead
        else if (!wasIgnored(m_previous[i]))
            ::sigaction(number, &noting, nullptr);
    }
    m_active = true;
}

std::optional<int> PosixInterruption::noted() const
{
    int number = notedSignal;
    return number ? std::optional<int>(number) : std::nullopt;
}

void PosixInterruption::end()
{
    if (!m_active)
        return;
    m_active = false;
    for (std::size_t i = 0; i < std::size(watchedSignals); ++i)
        if (watchedSignals[i] != SIGPIPE)
            ::sigaction(watchedSignals[i], &m_previous[i], nullptr);
    signalWakeWriteEnd = -1;
    int number = notedSignal;
    if (number == 0) {
        ::sigaction(SIGPIPE, &m_previous[std::size(watchedSignals) - 1], nullptr);
        return;
    }
    // Ends the process as the signal would have, so that the parent sees it.
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    std::_Exit(128 + number);
}

}
