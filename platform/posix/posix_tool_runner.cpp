#include "platform/posix/posix_tool_runner.h"

#include "common/errors.h"
#include "common/on_failure.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/linux_calls.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace ferrolatch {

namespace {

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe makePipe()
{
    std::array<int, 2> fds {};
    // Close-on-exec, so a child started by another thread never inherits our ends.
    if (int number = linux_calls::makeCloseOnExecPipe(fds.data()); number != 0)
        throw PlatformError::fromErrno(number, "could not create a pipe");
    return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    void duplicate(int fd, int target) { posix_spawn_file_actions_adddup2(&m_actions, fd, target); }
    const posix_spawn_file_actions_t* get() const { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes {
public:
    SpawnAttributes()
    {
        posix_spawnattr_init(&m_attributes);
        // The child starts with default signal handling and an empty mask,
        // whatever this process has blocked or ignored.
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&m_attributes, &none);
        posix_spawnattr_setsigdefault(&m_attributes, &defaults);
        posix_spawnattr_setflags(&m_attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attributes); }
    const posix_spawnattr_t* get() const { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
};

// Blocks SIGPIPE on this thread while we write to a child that may already be
// gone, and discards a SIGPIPE raised meanwhile, so a write fails with EPIPE
// instead of ending the process.
class SigpipeBlock {
public:
    SigpipeBlock()
    {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigpending(&m_pendingBefore);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &m_previous);
    }
    ~SigpipeBlock()
    {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) && !sigismember(&m_pendingBefore, SIGPIPE)) {
            sigset_t pipeOnly;
            sigemptyset(&pipeOnly);
            sigaddset(&pipeOnly, SIGPIPE);
            const timespec immediately {0, 0};
            sigtimedwait(&pipeOnly, nullptr, &immediately);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

private:
    sigset_t m_previous {};
    sigset_t m_pendingBefore {};
};

int exitCode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// Feeds stdin and drains stdout and stderr together until both outputs close
// and the payload is written or refused: a child may close its outputs before
// it reads its input. A child that exits with input unread (its descendants
// may hold the pipe open) ends the writing too; its wait status is returned.
std::optional<int> exchange(pid_t child, FileDescriptor& input, const SecretBytes* payload, FileDescriptor& output,
                            FileDescriptor& error, ToolOutcome& outcome)
{
    std::size_t written = 0;
    if (input.isOpen())
        fcntl(input.get(), F_SETFL, fcntl(input.get(), F_GETFL) | O_NONBLOCK);
    if (input.isOpen() && (!payload || payload->empty()))
        input.close();

    std::array<char, 65536> buffer {};
    while (output.isOpen() || error.isOpen() || input.isOpen()) {
        bool onlyInput = !output.isOpen() && !error.isOpen();
        std::array<pollfd, 3> polled {};
        nfds_t count = 0;
        FileDescriptor* owners[3] {};
        for (FileDescriptor* descriptor : {&output, &error, &input}) {
            if (!descriptor->isOpen())
                continue;
            polled[count] = {descriptor->get(), static_cast<short>(descriptor == &input ? POLLOUT : POLLIN), 0};
            owners[count++] = descriptor;
        }
        if (poll(polled.data(), count, onlyInput ? 100 : -1) < 0) {
            if (errno == EINTR)
                continue;
            throw PlatformError::fromErrno(errno, "could not wait for a tool's output");
        }
        for (nfds_t index = 0; index < count; ++index) {
            if (!polled[index].revents)
                continue;
            FileDescriptor& descriptor = *owners[index];
            if (&descriptor == &input) {
                auto remaining = payload->bytes().subspan(written);
                ssize_t result = ::write(input.get(), remaining.data(), remaining.size());
                if (result > 0)
                    written += static_cast<std::size_t>(result);
                else if (result < 0 && errno != EAGAIN && errno != EINTR)
                    written = payload->size(); // the child stopped reading; stop offering
                if (written == payload->size())
                    input.close(); // a failure to close is of no consequence
                continue;
            }
            ssize_t result = ::read(descriptor.get(), buffer.data(), buffer.size());
            if (result > 0)
                (&descriptor == &output ? outcome.standardOutput : outcome.standardError)
                    .append(buffer.data(), static_cast<std::size_t>(result));
            else if (result == 0 || (errno != EAGAIN && errno != EINTR))
                descriptor.close();
        }
        int status = 0;
        if (onlyInput && input.isOpen() && waitpid(child, &status, WNOHANG) == child) {
            input.close();
            return status;
        }
    }
    input.close();
    return std::nullopt;
}

int waitForExit(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw PlatformError::fromErrno(errno, "could not wait for a tool to exit");
    }
    return exitCode(status);
}

}

PosixToolRunner::PosixToolRunner(std::string sysroot, std::vector<std::string> mappedPaths)
    : m_sysroot(std::move(sysroot))
    , m_mappedPaths(std::move(mappedPaths))
{
}

std::string PosixToolRunner::resolvedPath(const std::string& executable) const
{
    if (m_sysroot.empty() || std::find(m_mappedPaths.begin(), m_mappedPaths.end(), executable) == m_mappedPaths.end())
        return executable;
    return m_sysroot + executable;
}

ToolOutcome PosixToolRunner::launch(const std::string& executable, const std::vector<std::string>& arguments,
                                    const SecretBytes* standardInput)
{
    std::string path = resolvedPath(executable);

    Pipe output = makePipe();
    Pipe error = makePipe();
    Pipe input;
    if (standardInput)
        input = makePipe();

    SpawnActions actions;
    if (standardInput)
        actions.duplicate(input.read.get(), STDIN_FILENO);
    actions.duplicate(output.write.get(), STDOUT_FILENO);
    actions.duplicate(error.write.get(), STDERR_FILENO);
    SpawnAttributes attributes;

    // argv[0] is the path the caller named, as a shell-less launch would give it.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t child = 0;
    int failure = posix_spawn(&child, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (failure != 0)
        throw PlatformError::fromErrno(failure, "could not launch " + executable);

    input.read.close();
    output.write.close();
    error.write.close();

    ToolOutcome outcome;
    std::optional<int> reaped;
    {
        // A child whose exchange failed is not left running or unreaped.
        auto reap = onFailure([&] {
            kill(child, SIGKILL);
            waitForExit(child);
        });
        SigpipeBlock sigpipeBlock;
        reaped = exchange(child, input.write, standardInput, output.read, error.read, outcome);
        reap.dismiss();
    }
    outcome.status = reaped ? exitCode(*reaped) : waitForExit(child);
    return outcome;
}

}
