#include "commands/secret_clipboard.h"

#include "common/errors.h"

#include <exception>
#include <ios>

namespace ferrolatch {

namespace {

void clearIgnoringFailure(Pasteboard& pasteboard)
{
    try {
        pasteboard.clearContents();
    } catch (const std::exception&) {
        // Nothing better can be done on the way out; the first error travels.
    }
}

// Restores the stream's exception mask and the usual signal handling; a
// noted signal ends the process here, after the clipboard was cleared.
class FlowScope {
public:
    FlowScope(Interruption& interruption, std::ostream& out)
        : m_interruption(interruption), m_out(out), m_exceptions(out.exceptions())
    {
        m_interruption.begin();
    }
    ~FlowScope()
    {
        m_out.exceptions(m_exceptions);
        m_interruption.end();
    }
    FlowScope(const FlowScope&) = delete;
    FlowScope& operator=(const FlowScope&) = delete;

private:
    Interruption& m_interruption;
    std::ostream& m_out;
    std::ios::iostate m_exceptions;
};

}

void runSecretClipboardFlow(Interruption& interruption, Pasteboard& pasteboard, std::ostream& out,
                            const std::function<void()>& flow)
{
    FlowScope scope(interruption, out);
    try {
        // A failed write throws from inside the flow, whose own failure path
        // clears the clipboard.
        out.exceptions(out.exceptions() | std::ios::badbit);
        flow();
    } catch (...) {
        clearIgnoringFailure(pasteboard);
        // Told by the stream's state rather than the exception's type, which
        // the standard library does not throw consistently.
        if (out.rdstate() & std::ios::badbit)
            throw ProofError("could not write to standard output");
        throw;
    }
    if (interruption.noted())
        clearIgnoringFailure(pasteboard);
}

}
