#pragma once

#include <exception>
#include <utility>

namespace ferrolatch {

// For a step that may fail without changing the outcome (opening an app the
// user can open by hand, a cleanup after the first error): runs it and
// disregards its failure.
template <typename Action>
void disregardingFailure(Action&& action) noexcept
{
    try {
        action();
    } catch (...) {
    }
}

// Runs a cleanup when its scope is left by an exception, unless dismissed
// first. The error in flight is the one that travels: the cleanup's own
// failure is disregarded.
//
//     auto relock = onFailure([&] { lockAPFSVolume(tools, device); });
//     writeProofMarker(files, mountPoint);
//     relock.dismiss();
template <typename Cleanup>
class [[nodiscard]] OnFailure {
public:
    explicit OnFailure(Cleanup cleanup) : m_cleanup(std::move(cleanup)) {}
    OnFailure(const OnFailure&) = delete;
    OnFailure& operator=(const OnFailure&) = delete;

    ~OnFailure()
    {
        if (m_armed && std::uncaught_exceptions() > m_exceptionsAtStart)
            disregardingFailure(m_cleanup);
    }

    void dismiss() noexcept { m_armed = false; }

private:
    Cleanup m_cleanup;
    int m_exceptionsAtStart = std::uncaught_exceptions();
    bool m_armed = true;
};

template <typename Cleanup>
OnFailure<Cleanup> onFailure(Cleanup cleanup)
{
    return OnFailure<Cleanup>(std::move(cleanup));
}

// Runs a cleanup whenever its scope is left, by a return or by an error,
// unless dismissed first. A failure of the cleanup is disregarded: an error
// in flight stays the one that travels, and a normal exit stays normal.
//
//     auto restore = atScopeExit([&] { scanning = false; });
template <typename Cleanup>
class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(Cleanup cleanup) : m_cleanup(std::move(cleanup)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    ~ScopeExit()
    {
        if (m_armed)
            disregardingFailure(m_cleanup);
    }

    void dismiss() noexcept { m_armed = false; }

private:
    Cleanup m_cleanup;
    bool m_armed = true;
};

template <typename Cleanup>
ScopeExit<Cleanup> atScopeExit(Cleanup cleanup)
{
    return ScopeExit<Cleanup>(std::move(cleanup));
}

}
