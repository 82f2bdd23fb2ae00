#pragma once

#include "platform/headless/ui_script.h"
#include "platform/ui.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ferrolatch {

// Where the next answer of a script is: this process's own count, or a place
// shared with other processes that run the same script.
class AnswerCursor {
public:
    virtual ~AnswerCursor() = default;
    // The index of the answer to use now; the next call gives the one after.
    virtual std::size_t take() = 0;
};

// The user interface of automation: each alert is answered by the next entry
// of a script, and everything shown is appended to a transcript file (one JSON
// object per line) when a path is given. An alert the script did not expect,
// or one shown after the script ran out, fails with a ProofError naming it.
// Secret contents (secure fields, labels) never reach the transcript.
class ScriptedUi final : public Ui {
public:
    ScriptedUi(std::vector<ScriptedAnswer> script, std::string transcriptPath,
               std::unique_ptr<AnswerCursor> sharedCursor = nullptr);

    void prepareApplication() override;
    void activate() override;
    void beep() override;
    Size layoutSize(const Alert& alert) override;
    long runModal(Alert& alert) override;
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription& description) override;

    std::size_t answersLeft() const { return m_script.size() - m_next; }

    // Appends one transcript line; does nothing without a transcript path.
    void record(const std::string& jsonLine);

private:
    std::vector<ScriptedAnswer> m_script;
    std::size_t m_next = 0;
    std::unique_ptr<AnswerCursor> m_sharedCursor;
    std::string m_transcriptPath;
    SecretBytes m_previousLabel; // the last alert's wrapping label, for FromPreviousLabel
};

// The script setting is either the JSON text itself (an array or an object,
// see parseUiScriptSetting) or the path of a file
// holding it. Returns the JSON text.
std::string uiScriptText(const std::string& setting);

}
