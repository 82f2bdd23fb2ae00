#pragma once

#include "common/errors.h"
#include "platform/files.h"
#include "platform/pasteboard.h"
#include "platform/tool_runner.h"
#include "platform/ui.h"
#include "platform/workspace.h"

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ferrolatch::recovery_testing {

inline std::string textOf(const SecretBytes& bytes)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// What an alert looked like when it ran, without keeping the alert itself.
struct ShownAlert {
    AlertStyle style = AlertStyle::Warning;
    std::string message;
    std::string informative;
    std::vector<std::string> buttons;
    bool excludedFromCapture = false;
    std::optional<Point> topLeft;
    std::string accessoryKind; // "", "label", "secure"
    std::string labelText;     // a test may look at what a real user would see
    Font labelFont;
    Size accessorySize;
    int maximumNumberOfLines = -1;
    bool firstResponder = false;
};

// Answers alerts from a queue: a button index (0 is the first button), or
// dismissal, optionally typing into the secure field. Records every call.
class FakeUi final : public Ui {
public:
    struct Answer {
        std::string expect;                // a prefix of the message text
        std::optional<std::size_t> button; // absent: dismiss
        std::optional<std::string> typed;  // into the secure field
        std::function<void()> whileShown;  // runs while the alert is up
    };

    std::deque<Answer> answers;
    std::vector<ShownAlert> shown;
    std::vector<std::string> events; // "activate", "beep", "layout <message>", "run <message>"
    Size size {420, 200};

    void prepareApplication() override { events.push_back("prepare"); }
    void activate() override { events.push_back("activate"); }
    void beep() override { events.push_back("beep"); }
    Size layoutSize(const Alert& alert) override
    {
        events.push_back("layout " + alert.messageText);
        return size;
    }
    long runModal(Alert& alert) override
    {
        events.push_back("run " + alert.messageText);
        shown.push_back(describe(alert));
        if (answers.empty())
            throw ProofError("no answer left for alert \"" + alert.messageText + "\"");
        Answer answer = std::move(answers.front());
        answers.pop_front();
        if (!alert.messageText.starts_with(answer.expect))
            throw ProofError("expected \"" + answer.expect + "\" but \"" + alert.messageText + "\" ran");
        if (answer.typed)
            std::get<SecureTextField>(*alert.accessory).text = SecretBytes::copyOf(*answer.typed);
        if (answer.whileShown)
            answer.whileShown();
        return answer.button ? alertFirstButtonReturn + static_cast<long>(*answer.button) : alertAbortedResponse;
    }
    void abortModal() override {}
    std::unique_ptr<Window> createWindow(const WindowDescription&) override { return nullptr; }

private:
    static ShownAlert describe(const Alert& alert)
    {
        ShownAlert s;
        s.style = alert.style;
        s.message = alert.messageText;
        s.informative = alert.informativeText;
        for (const auto& button : alert.buttons)
            s.buttons.push_back(button.title);
        s.excludedFromCapture = alert.excludedFromCapture;
        s.topLeft = alert.topLeft;
        if (alert.accessory) {
            if (const auto* label = std::get_if<WrappingLabel>(&*alert.accessory)) {
                s.accessoryKind = "label";
                s.labelText = textOf(label->text);
                s.labelFont = label->font;
                s.accessorySize = label->size;
                s.maximumNumberOfLines = label->maximumNumberOfLines;
            } else if (const auto* secure = std::get_if<SecureTextField>(&*alert.accessory)) {
                s.accessoryKind = "secure";
                s.accessorySize = secure->size;
                s.firstResponder = secure->initialFirstResponder;
            } else {
                s.accessoryKind = "other";
            }
        }
        return s;
    }
};

// A pasteboard that remembers every change; it can refuse from a given set on.
class FakePasteboard final : public Pasteboard {
public:
    std::optional<std::string> contents;
    std::vector<std::string> history; // "clear", "set <text>"
    int refuseSetNumber = 0;          // 1: the first setString fails
    int failClearNumber = 0;          // 1: the first clearContents throws
    std::function<void()> onSet;      // runs after a successful set

    void clearContents() override
    {
        if (failClearNumber && ++m_clears == failClearNumber)
            throw PlatformError(posixErrorDomain, 5, "Input/output error");
        contents.reset();
        history.push_back("clear");
    }
    bool setString(std::span<const std::uint8_t> utf8) override
    {
        ++m_sets;
        if (refuseSetNumber && m_sets >= refuseSetNumber) {
            history.push_back("refused");
            return false;
        }
        contents = std::string(reinterpret_cast<const char*>(utf8.data()), utf8.size());
        history.push_back("set " + *contents);
        if (onSet)
            onSet();
        return true;
    }
    std::optional<SecretBytes> readString() override
    {
        return contents ? std::optional<SecretBytes>(SecretBytes::copyOf(*contents)) : std::nullopt;
    }

private:
    int m_sets = 0;
    int m_clears = 0;
};

// Answers tools by their arguments; everything else fails like a missing tool.
class FakeTools final : public ToolRunner {
public:
    std::map<std::vector<std::string>, ToolOutcome> outcomes;
    std::vector<std::vector<std::string>> calls; // executable first
    bool launchFails = false;

    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes*) override
    {
        std::vector<std::string> call {executable};
        call.insert(call.end(), arguments.begin(), arguments.end());
        calls.push_back(call);
        if (launchFails)
            throw PlatformError(posixErrorDomain, 2, "No such file or directory");
        auto found = outcomes.find(arguments);
        return found != outcomes.end() ? found->second : ToolOutcome {1, "", "unexpected call"};
    }
};

// The window server and screens, as a test sets them.
class FakeWorkspace final : public Workspace {
public:
    std::vector<std::int64_t> passwordsPIDs;
    std::optional<std::vector<WindowListEntry>> windows = std::vector<WindowListEntry> {};
    std::vector<Screen> screenList;
    std::optional<Screen> main;
    int pidQueries = 0;
    std::function<void(FakeWorkspace&)> beforeQuery; // may change the state as time passes
    std::vector<std::string> askedIdentifiers;

    std::optional<WorkspaceImage> loadImage(const std::string&) override { return std::nullopt; }
    bool setIcon(const WorkspaceImage&, const std::string&) override { return false; }
    std::vector<std::int64_t> runningApplicationPIDs(std::string_view bundleIdentifier) override
    {
        ++pidQueries;
        if (beforeQuery)
            beforeQuery(*this);
        askedIdentifiers.emplace_back(bundleIdentifier);
        return bundleIdentifier == "com.apple.Passwords" ? passwordsPIDs : std::vector<std::int64_t> {};
    }
    std::optional<std::vector<WindowListEntry>> onScreenWindowList() override { return windows; }
    std::vector<Screen> screens() override { return screenList; }
    std::optional<Screen> mainScreen() override { return main; }
};

// Files holding only what a test put there.
class TinyFiles final : public Files {
public:
    std::map<std::string, std::string> files;

    bool exists(const std::string& path) override { return files.contains(path); }
    std::optional<FileAttributes> attributes(const std::string& path) override
    {
        if (!files.contains(path))
            return std::nullopt;
        FileAttributes attributes;
        attributes.type = FileAttributes::Type::Regular;
        attributes.size = files[path].size();
        return attributes;
    }
    bool isWritable(const std::string&) override { return false; }
    std::string readFile(const std::string& path) override
    {
        auto found = files.find(path);
        if (found == files.end())
            throw PlatformError::fromErrno(2, "open " + path);
        return found->second;
    }
    void writeFileAtomically(const std::string&, const std::string&) override { refuse(); }
    void removeFile(const std::string&) override { refuse(); }
    void createDirectory(const std::string&, std::uint32_t) override { refuse(); }
    std::vector<std::string> listDirectory(const std::string&) override { return {}; }
    void setMode(const std::string&, std::uint32_t) override { refuse(); }
    void setFlags(const std::string&, std::uint32_t) override { refuse(); }
    void clearFlags(const std::string&, std::uint32_t) override { refuse(); }

private:
    [[noreturn]] static void refuse() { throw ProofError("the recovery commands write no files"); }
};

}
