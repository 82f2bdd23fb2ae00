#pragma once

#include "platform/interruption.h"
#include "platform/posix/file_descriptor.h"

#include <array>
#include <istream>
#include <memory>
#include <signal.h>
#include <streambuf>

namespace ferrolatch {

// Standard input read straight from its descriptor, waiting in poll together
// with a wake-up descriptor: once that is readable the stream is at its end,
// so a signal noted before or during the wait cannot be missed.
class InterruptibleInputBuffer final : public std::streambuf {
public:
    InterruptibleInputBuffer(int input, int wakeUp) : m_input(input), m_wakeUp(wakeUp) {}

protected:
    int_type underflow() override;

private:
    int m_input;
    int m_wakeUp;
    std::array<char, 4096> m_buffer {};
};

// Signal handling over a self-pipe: the handler notes the first signal and
// writes one byte that wakes the input's wait. Signals the process was told
// to ignore when it started (as by nohup) stay ignored.
class PosixInterruption final : public Interruption {
public:
    PosixInterruption();
    ~PosixInterruption() override;
    PosixInterruption(const PosixInterruption&) = delete;
    PosixInterruption& operator=(const PosixInterruption&) = delete;

    void begin() override;
    std::optional<int> noted() const override;
    void end() override;

    // Standard input, interruptible while a flow runs; what main hands the
    // commands as their input.
    std::istream& input() { return m_input; }
    // Readable once a signal has been noted during a flow: what a user
    // interface watches to end an alert that would otherwise keep waiting.
    int wakeDescriptor() const { return m_wake.read.get(); }

private:
    struct SelfPipe {
        FileDescriptor read;
        FileDescriptor write;
    };
    static SelfPipe makeSelfPipe();

    SelfPipe m_wake;
    InterruptibleInputBuffer m_inputBuffer;
    std::istream m_input;
    bool m_active = false;
    struct sigaction m_previous[4] {};
};

}
