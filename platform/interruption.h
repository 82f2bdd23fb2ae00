#pragma once

#include <optional>

namespace ferrolatch {

// The signals that would end the process at once (interrupt, terminate,
// hang-up) and a write to a closed pipe. While a flow has a secret on the
// clipboard they must not end the process before the clipboard is cleared.
// Between begin and end such a signal is only noted, a wait for the user's
// input ends as if the input had closed, and a write to a closed pipe fails
// like any other write instead of ending the process.
class Interruption {
public:
    virtual ~Interruption() = default;

    virtual void begin() = 0;
    // The signal noted since begin, if any.
    virtual std::optional<int> noted() const = 0;
    // Restores the usual handling. A noted signal then ends the process the
    // way it would have ended it at once, so a shell sees the usual status.
    virtual void end() = 0;
};

namespace unavailable {

// For a Platform built without signal handling: nothing is ever noted.
class NoInterruption final : public Interruption {
public:
    void begin() override {}
    std::optional<int> noted() const override { return std::nullopt; }
    void end() override {}
};

inline Interruption& interruption()
{
    static NoInterruption none;
    return none;
}

}

}
