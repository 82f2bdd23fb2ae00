#pragma once

#include <unistd.h>
#include <utility>

namespace ferrolatch {

// Owns one open descriptor: closed exactly once, never leaked.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Closing can report a deferred write error, so callers that care check it.
    int close()
    {
        if (m_fd < 0)
            return 0;
        return ::close(std::exchange(m_fd, -1));
    }

private:
    int m_fd = -1;
};

}
