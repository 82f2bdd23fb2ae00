#pragma once

// A product process the test talks to while it runs: its standard input,
// output and error are the test's ends of three pipes, so a test can answer
// step by step, close the output like `| head` does, or send a signal at an
// exact step.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace ferrolatch::e2e {

class LiveProcess {
public:
    LiveProcess(const std::string& executable, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& extraEnvironment)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // Whatever the test runner ignores or blocks, the product starts as
        // from a terminal: every signal with its default action.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            sigaddset(&defaults, number);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        std::map<std::string, std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            std::string text = *entry;
            std::size_t equals = text.find('=');
            if (equals != std::string::npos)
                variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const auto& [name, value] : extraEnvironment)
            variables[name] = value;
        std::vector<std::string> environment;
        for (const auto& [name, value] : variables)
            environment.push_back(name + "=" + value);
        std::vector<std::string> words {executable};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv, envp;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);

        int failed = posix_spawn(&m_pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_input = in[1];
        m_output = out[0];
        m_error = err[0];
        if (failed != 0)
            throw std::runtime_error("could not start " + executable + ": " + std::strerror(failed));
    }

    ~LiveProcess()
    {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_input, m_output, m_error})
            if (fd >= 0)
                ::close(fd);
    }
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // Whether it has ended, leaving it to wait() to collect.
    bool hasExited() const
    {
        siginfo_t info {};
        return ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
            && info.si_pid == m_pid;
    }
    const std::string& output() const { return m_out; }

    // Reads standard output until it holds `text` `times` times; false when
    // the output ends or 30 seconds pass first.
    bool readUntil(const std::string& text, std::size_t times = 1)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (occurrences(text) < times) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd watched {m_output, POLLIN, 0};
            if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t count = ::read(m_output, buffer, sizeof buffer);
            if (count <= 0)
                return false;
            m_out.append(buffer, static_cast<std::size_t>(count));
        }
        return true;
    }

    void write(const std::string& bytes)
    {
        if (::write(m_input, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("could not write to the product's input");
    }

    // What `| head` does once it has its lines: nothing reads the output any more.
    void closeOutput()
    {
        ::close(m_output);
        m_output = -1;
    }

    // The exit status, 128 + the signal for a process a signal ended; the
    // standard error it wrote goes to `error`.
    int wait(std::string& error)
    {
        ::close(m_input);
        m_input = -1;
        char buffer[4096];
        for (ssize_t count; (count = ::read(m_error, buffer, sizeof buffer)) > 0;)
            error.append(buffer, static_cast<std::size_t>(count));
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_reaped = true;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

private:
    std::size_t occurrences(const std::string& text) const
    {
        std::size_t count = 0;
        for (std::size_t at = m_out.find(text); at != std::string::npos; at = m_out.find(text, at + text.size()))
            ++count;
        return count;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_input = -1;
    int m_output = -1;
    int m_error = -1;
    std::string m_out;
};

}
