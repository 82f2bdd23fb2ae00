#include "commands/secret_clipboard.h"

#include "commands/passwords_handoff.h"
#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;

namespace {

const std::string password43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";

// Records the calls; end() with a noted signal stands for the process ending,
// so it reports what the clipboard held at that moment instead of returning.
class FakeInterruption final : public Interruption {
public:
    struct Ended {
        int signal;
    };
    FakePasteboard& pasteboard;
    std::optional<int> signal;
    std::vector<std::string> calls;
    std::optional<std::string> clipboardAtEnd;

    explicit FakeInterruption(FakePasteboard& board) : pasteboard(board) {}
    void begin() override { calls.push_back("begin"); }
    std::optional<int> noted() const override { return signal; }
    void end() override
    {
        calls.push_back("end");
        clipboardAtEnd = pasteboard.contents.value_or("");
    }
};

// Output that stops being accepted after a number of bytes, as a pipe does
// once its reader is gone.
class ClosingBuffer final : public std::streambuf {
public:
    explicit ClosingBuffer(std::size_t accepted) : m_left(accepted) {}

protected:
    int_type overflow(int_type c) override
    {
        if (m_left == 0 || traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::eof();
        --m_left;
        return c;
    }

private:
    std::size_t m_left;
};

struct GuardedHandoff : ::testing::Test {
    FakePasteboard pasteboard;
    FakeTools tools;
    FakeInterruption interruption {pasteboard};
    std::istringstream input;
    SecretBytes password = SecretBytes::copyOf(password43);

    void run(std::ostream& out)
    {
        TerminalHandoffServices services {out, input, pasteboard, tools};
        runSecretClipboardFlow(interruption, pasteboard, out,
                               [&] { terminalPasswordsHandoff(services, password, "Backup", "UUID"); });
    }
};

}

TEST_F(GuardedHandoff, ASignalAtThePasswordStepClearsTheClipboardBeforeTheProcessEnds)
{
    // The adapter notes the signal and ends the wait for Return as if input closed.
    input.str("\n\n");
    pasteboard.onSet = [&] {
        if (pasteboard.contents == password43)
            interruption.signal = SIGTERM;
    };
    std::ostringstream out;
    EXPECT_THROW(run(out), ProofError);
    EXPECT_EQ(interruption.calls, (std::vector<std::string> {"begin", "end"}));
    EXPECT_EQ(interruption.clipboardAtEnd, "") << "the password was still on the clipboard";
}

TEST_F(GuardedHandoff, ASignalNotedWhileTheFlowEndsNormallyStillClearsFirst)
{
    input.str("\n\n\n\n\n");
    interruption.signal = SIGINT;
    std::ostringstream out;
    run(out);
    EXPECT_EQ(interruption.clipboardAtEnd, "");
    EXPECT_EQ(pasteboard.history.back(), "clear");
}

TEST_F(GuardedHandoff, AStepThatCannotBeWrittenFailsAndClearsTheClipboard)
{
    input.str("\n\n\n\n\n");
    // The first two steps get through (head -n 7), the Password step does not.
    std::string firstSevenLines = "MANUAL RECOVERY SAVE READY\n"
                                  "STEP 1/5 \u2014 Title COPIED\n"
                                  "In Passwords, click the + button to start a new entry, then paste into Title.\n"
                                  "Press Return here after pasting it to copy the next field.\n"
                                  "STEP 2/5 \u2014 User Name COPIED\n"
                                  "Paste into User Name.\n"
                                  "Press Return here after pasting it to copy the next field.\n";
    ClosingBuffer closing(firstSevenLines.size());
    std::ostream out(&closing);
    try {
        run(out);
        ADD_FAILURE() << "a step nobody could see passed";
    } catch (const ProofError& error) {
        EXPECT_STREQ(error.what(), "could not write to standard output");
    }
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_EQ(std::count(pasteboard.history.begin(), pasteboard.history.end(), "set " + password43), 1);
    EXPECT_EQ(interruption.calls, (std::vector<std::string> {"begin", "end"}));
    EXPECT_TRUE(std::all_of(password.bytes().begin(), password.bytes().end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(out.exceptions(), std::ios::goodbit) << "the stream is handed back as it was";
}

TEST_F(GuardedHandoff, WithoutASignalTheFlowRunsAsBefore)
{
    input.str("\n\n\n\n\n");
    std::ostringstream out;
    run(out);
    EXPECT_TRUE(out.str().ends_with("CLIPBOARD CLEARED\n"));
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_EQ(interruption.calls, (std::vector<std::string> {"begin", "end"}));
}
