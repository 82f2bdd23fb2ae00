#include "common/errors.h"
#include "platform/headless/scripted_ui.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace ferrolatch;
using nlohmann::json;

namespace {

Alert passkeySheet()
{
    Alert alert;
    alert.style = AlertStyle::Informational;
    alert.messageText = "Sign in to ferrolatch.example";
    alert.informativeText = "Use your passkey.";
    alert.buttons = {{"Continue"}, {"Cancel"}};
    return alert;
}

Alert cardAlert(std::string_view text)
{
    Alert alert;
    alert.style = AlertStyle::Critical;
    alert.messageText = "Offline Ferrolatch recovery key";
    alert.buttons = {{"I Saved This Key"}, {"Later"}};
    alert.excludedFromCapture = true;
    alert.accessory = WrappingLabel {SecretBytes::copyOf(text), Font {Font::Family::MonospacedSystem, 15, Font::Weight::Medium}};
    return alert;
}

Alert confirmAlert()
{
    Alert alert;
    alert.messageText = "Confirm your offline copy";
    alert.buttons = {{"Confirm"}, {"Show Key Again"}};
    alert.accessory = SecureTextField {SecretBytes(), {320, 24}, true};
    return alert;
}

struct Transcript {
    std::string path;
    Transcript()
    {
        path = (std::filesystem::temp_directory_path() / ("ui-transcript-" + std::to_string(getpid()) + "-"
                                                           + std::to_string(reinterpret_cast<std::uintptr_t>(this))))
                   .string();
        std::remove(path.c_str());
    }
    ~Transcript() { std::remove(path.c_str()); }
    std::vector<json> lines() const
    {
        std::vector<json> result;
        std::ifstream stream(path);
        for (std::string line; std::getline(stream, line);)
            result.push_back(json::parse(line));
        return result;
    }
    std::string raw() const
    {
        std::ifstream stream(path);
        std::ostringstream contents;
        contents << stream.rdbuf();
        return contents.str();
    }
};

ScriptedUi uiFor(const std::string& script, const std::string& transcript = "")
{
    return ScriptedUi(parseUiScript(script), transcript);
}

}

TEST(ScriptedUi, PressesTheNamedButtonAndRecordsTheAlert)
{
    Transcript transcript;
    ScriptedUi ui = uiFor(R"([{"expect": "Sign in to", "button": "Cancel"}, {"expect": "", "dismiss": true}])",
                          transcript.path);
    Alert sheet = passkeySheet();
    sheet.topLeft = Point {24, 876};
    EXPECT_EQ(ui.runModal(sheet), 1001);
    Alert other = passkeySheet();
    EXPECT_EQ(ui.runModal(other), alertAbortedResponse);
    EXPECT_EQ(ui.answersLeft(), 0u);

    auto lines = transcript.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["kind"], "alert");
    EXPECT_EQ(lines[0]["style"], "informational");
    EXPECT_EQ(lines[0]["message"], "Sign in to ferrolatch.example");
    EXPECT_EQ(lines[0]["informative"], "Use your passkey.");
    EXPECT_EQ(lines[0]["buttons"][1]["title"], "Cancel");
    EXPECT_EQ(lines[0]["topLeft"]["y"], 876);
    EXPECT_EQ(lines[0]["answer"]["button"], "Cancel");
    EXPECT_EQ(lines[0]["answer"]["response"], 1001);
    EXPECT_TRUE(lines[1]["answer"]["button"].is_null());
}

TEST(ScriptedUi, UnexpectedAlertsFailNamingTheAlertAndAreRecorded)
{
    struct Case {
        const char* name;
        const char* script;
        const char* error;
    } cases[] = {
        {"mismatch", R"([{"expect": "Create a passkey", "button": "Continue"}])",
         "unexpected alert \"Sign in to ferrolatch.example\": the UI script expected one beginning \"Create a passkey\""},
        {"exhausted", "[]", "unexpected alert \"Sign in to ferrolatch.example\": the UI script has no answers left"},
        {"missing button", R"([{"expect": "Sign", "button": "OK"}])",
         "the UI script pressed \"OK\", which alert \"Sign in to ferrolatch.example\" does not have"},
        {"too many fields", R"([{"expect": "Sign", "button": "Continue", "fields": ["x"]}])",
         "the UI script types into 1 fields, but alert \"Sign in to ferrolatch.example\" has 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Transcript transcript;
        ScriptedUi ui = uiFor(c.script, transcript.path);
        Alert sheet = passkeySheet();
        try {
            ui.runModal(sheet);
            ADD_FAILURE() << "no error";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
        auto lines = transcript.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0]["message"], "Sign in to ferrolatch.example");
        EXPECT_TRUE(lines[0]["answer"].is_null());
        EXPECT_EQ(lines[0]["error"], c.error);
    }
}

TEST(ScriptedUi, TypesIntoGridFieldsAndSelectsPopUps)
{
    Alert setup;
    setup.messageText = "Set up a Ferrolatch disk";
    setup.buttons = {{"Continue"}, {"Cancel"}};
    Grid grid;
    grid.rows.push_back({"External drive:", PopUpButton {{"A — disk4", "B — disk5"}, 0, {440, 26}}});
    grid.rows.push_back({"Encrypted volume:", TextField {"PRIVATE", "Encrypted volume name"}});
    setup.accessory = std::move(grid);

    Transcript transcript;
    ScriptedUi ui = uiFor(R"([{"expect": "Set up", "button": "Continue", "fields": ["WORK"], "select": 1},
                              {"expect": "Set up", "button": "Continue", "fields": [null]}])",
                          transcript.path);
    EXPECT_EQ(ui.runModal(setup), 1000);
    const Grid& answered = std::get<Grid>(*setup.accessory);
    EXPECT_EQ(std::get<PopUpButton>(answered.rows[0].control).selectedIndex, 1u);
    EXPECT_EQ(std::get<TextField>(answered.rows[1].control).text, "WORK");

    // Shown again, the alert keeps what was typed unless the script types anew.
    EXPECT_EQ(ui.runModal(setup), 1000);
    EXPECT_EQ(std::get<TextField>(std::get<Grid>(*setup.accessory).rows[1].control).text, "WORK");
    auto lines = transcript.lines();
    EXPECT_EQ(lines[1]["accessory"]["rows"][1]["control"]["text"], "WORK");
    EXPECT_EQ(lines[1]["accessory"]["rows"][0]["control"]["selectedIndex"], 1);
}

TEST(ScriptedUi, ConfirmsACodeFromThePreviousLabelWithoutLeakingSecrets)
{
    const std::string card = "Volume: PRIVATE\nUUID: 1234\n\nAbCd EfGh IjKl Mn\n\nManual recovery: open Disk Utility";
    Transcript transcript;
    ScriptedUi ui = uiFor(R"([{"expect": "Offline", "button": "I Saved This Key"},
        {"expect": "Confirm", "button": "Confirm",
         "fields": [{"fromPreviousLabel": {"paragraph": 1, "withoutSpaces": true, "last": 8}}]}])",
                          transcript.path);
    Alert shown = cardAlert(card);
    EXPECT_EQ(ui.runModal(shown), 1000);
    Alert confirm = confirmAlert();
    EXPECT_EQ(ui.runModal(confirm), 1000);
    EXPECT_TRUE(std::get<SecureTextField>(*confirm.accessory).text.equals(std::string_view("GhIjKlMn")));

    std::string raw = transcript.raw();
    EXPECT_EQ(raw.find("AbCd"), std::string::npos);
    EXPECT_EQ(raw.find("GhIjKlMn"), std::string::npos);
    auto lines = transcript.lines();
    EXPECT_EQ(lines[0]["excludedFromCapture"], true);
    EXPECT_EQ(lines[0]["accessory"]["kind"], "wrappingLabel");
    EXPECT_EQ(lines[1]["accessory"]["firstResponder"], true);
    EXPECT_EQ(lines[1]["answer"]["fields"][0]["secureBytes"], 8);
}

TEST(ScriptedUi, CopyingFromALabelNeedsAPreviousLabel)
{
    ScriptedUi ui = uiFor(R"([{"expect": "Confirm", "button": "Confirm",
        "fields": [{"fromPreviousLabel": {"paragraph": 0}}]}])");
    Alert confirm = confirmAlert();
    EXPECT_THROW(ui.runModal(confirm), ProofError);
}

TEST(ScriptedUi, RecordsWindowsActivationAndBeeps)
{
    Transcript transcript;
    ScriptedUi ui = uiFor("[]", transcript.path);
    ui.activate();
    ui.beep();
    auto window = ui.createWindow({"Ferrolatch", {460, 180}});
    window->makeKeyAndOrderFront();
    window->orderOut();
    auto lines = transcript.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["kind"], "activate");
    EXPECT_EQ(lines[1]["kind"], "beep");
    EXPECT_EQ(lines[2], (json {{"kind", "window"}, {"title", "Ferrolatch"}, {"size", {{"width", 460}, {"height", 180}}},
                               {"visible", true}}));
    EXPECT_EQ(lines[3]["visible"], false);
}

TEST(UiScript, RefusesMalformedScripts)
{
    struct Case {
        const char* script;
        const char* error;
    } cases[] = {
        {"{}", "UI script is not a JSON array of alert answers"},
        {"[", "UI script is not a JSON array of alert answers"},
        {"[1]", "UI script entry 1 is not an object"},
        {R"([{"button": "OK"}])", "UI script entry 1 has no \"expect\""},
        {R"([{"expect": "A"}])", "UI script entry 1 needs exactly one of \"button\" and \"dismiss\": true"},
        {R"([{"expect": "A", "button": "OK", "dismiss": true}])",
         "UI script entry 1 needs exactly one of \"button\" and \"dismiss\": true"},
        {R"([{"expect": "A", "button": "OK"}, {"expect": "B", "buton": "OK"}])",
         "UI script entry 2 has an unknown or mistyped key \"buton\""},
        {R"([{"expect": "A", "button": "OK", "select": -1}])",
         "UI script entry 1 has a select index that is not a non-negative integer"},
        {R"([{"expect": "A", "button": "OK", "fields": [3]}])",
         "UI script entry 1 has a field that is neither null, a string nor {\"fromPreviousLabel\": {...}}"},
        {R"([{"expect": "A", "button": "OK", "fields": [{"fromPreviousLabel": {"lats": 8}}]}])",
         "UI script entry 1 has an unknown or mistyped fromPreviousLabel key \"lats\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        try {
            parseUiScript(c.script);
            ADD_FAILURE() << "accepted";
        } catch (const ProofError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}

TEST(UiScript, ReadsInlineTextOrAFile)
{
    EXPECT_EQ(uiScriptText("  [ ]"), "  [ ]");
    Transcript file; // any temporary path will do
    {
        std::ofstream(file.path) << R"([{"expect": "", "dismiss": true}])";
    }
    EXPECT_EQ(parseUiScript(uiScriptText(file.path)).size(), 1u);
    EXPECT_THROW(uiScriptText(file.path + ".missing"), PlatformError);
}

TEST(UiScript, RefusesAHugeOrDeepScriptBeforeParsingIt)
{
    std::string deep = "[" + std::string(20000, '[') + std::string(20000, ']') + "]";
    std::string huge = "[{\"expect\": \"" + std::string(70000, 'x') + "\", \"dismiss\": true}]";
    const std::pair<std::string, std::string> cases[] = {
        {deep, "UI script is nested more than 32 levels deep"},
        {huge, "UI script is larger than 64 KiB"},
    };
    for (const auto& [script, error] : cases) {
        try {
            parseUiScript(script);
            ADD_FAILURE() << "accepted";
        } catch (const ProofError& failure) {
            EXPECT_EQ(failure.what(), error);
        }
    }
    // A file is read only as far as the bound.
    Transcript file;
    {
        std::ofstream(file.path) << huge;
    }
    EXPECT_EQ(uiScriptText(file.path).size(), 64u * 1024 + 1);
}

TEST(ScriptedUi, RecordsARichTextWholeWithItsLinkRanges)
{
    Transcript transcript;
    ScriptedUi ui = uiFor(R"([{"expect": "About", "button": "Done"}])", transcript.path);
    ScrollingRichText rich;
    rich.runs = {{"Version 1 · ", std::nullopt, TextColor::Label, "", false},
                 {"site.example", std::nullopt, TextColor::Link, "https://site.example", true},
                 {"\nPRIVACY", Font {Font::Family::MonospacedSystem, 11.5, Font::Weight::Semibold},
                  TextColor::SystemGreen, "", false},
                 {" and ", std::nullopt, TextColor::Label, "", false},
                 {"maker.example", std::nullopt, TextColor::Link, "https://maker.example/x", true}};
    Alert alert;
    alert.messageText = "About";
    alert.buttons = {{"Done"}};
    alert.accessory = rich;
    ui.runModal(alert);

    json body = transcript.lines().at(0)["accessory"];
    std::string text = body["text"];
    EXPECT_EQ(text, "Version 1 · site.example\nPRIVACY and maker.example");
    ASSERT_EQ(body["links"].size(), 2u);
    for (const json& link : body["links"]) {
        std::string shown = text.substr(link["start"].get<std::size_t>(), link["length"].get<std::size_t>());
        EXPECT_EQ("https://" + shown, link["url"].get<std::string>().substr(0, 8 + shown.size()));
    }
    EXPECT_EQ(body["links"][0]["start"], std::string("Version 1 · ").size()); // bytes, "·" is two
    EXPECT_EQ(body["runs"][2]["font"]["weight"], "semibold");
}

namespace ferrolatch {
namespace {

// Hands out the indexes of a sequence that another process may also take from.
class CountingCursor final : public AnswerCursor {
public:
    explicit CountingCursor(std::size_t& next) : m_next(next) {}
    std::size_t take() override { return m_next++; }

private:
    std::size_t& m_next;
};

TEST(UiScript, AnObjectSharesItsAnswersAcrossProcesses)
{
    UiScript shared = parseUiScriptSetting(
        R"({"acrossProcesses": true, "answers": [{"expect": "A", "button": "OK"}, {"expect": "B", "button": "OK"}]})");
    EXPECT_TRUE(shared.acrossProcesses);
    EXPECT_EQ(shared.answers.size(), 2u);
    UiScript own = parseUiScriptSetting(R"([{"expect": "A", "button": "OK"}])");
    EXPECT_FALSE(own.acrossProcesses);
    EXPECT_EQ(uiScriptText(R"( {"acrossProcesses": false, "answers": []})"), R"( {"acrossProcesses": false, "answers": []})");

    for (const char* refused : {R"({"answers": []})", R"({"acrossProcesses": "yes", "answers": []})",
                                R"({"acrossProcesses": true, "answers": [], "extra": 1})"}) {
        SCOPED_TRACE(refused);
        EXPECT_THROW(parseUiScriptSetting(refused), ProofError);
    }
    EXPECT_THROW(parseUiScriptSetting(R"({"acrossProcesses": true, "answers": {}})"), ProofError);

    // Two processes' interfaces over one sequence: the second alert, shown by
    // the other one, gets the second answer.
    std::size_t next = 0;
    ScriptedUi first(shared.answers, "", std::make_unique<CountingCursor>(next));
    ScriptedUi second(shared.answers, "", std::make_unique<CountingCursor>(next));
    Alert a;
    a.messageText = "A";
    a.buttons = {{"OK"}};
    Alert b;
    b.messageText = "B";
    b.buttons = {{"OK"}};
    EXPECT_EQ(first.runModal(a), alertFirstButtonReturn);
    EXPECT_EQ(second.runModal(b), alertFirstButtonReturn);
    EXPECT_THROW(first.runModal(a), ProofError);
}

}
}
