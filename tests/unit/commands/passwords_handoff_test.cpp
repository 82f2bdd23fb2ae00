#include "commands/passwords_handoff.h"

#include "common/constants.h"
#include "platform/headless/headless_main_loop.h"
#include "tests/support/recovery_fakes.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ferrolatch;
using namespace ferrolatch::recovery_testing;

namespace {

const std::string key43 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";
const std::string uuid = "6A0D3C2E-1F4B-4E8A-9C7D-5B3A2F1E0D9C";
const std::string website(recoveryCredentialDomain);

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

bool allZero(const SecretBytes& bytes)
{
    return std::all_of(bytes.bytes().begin(), bytes.bytes().end(), [](std::uint8_t b) { return b == 0; });
}

// One 1440 by 900 screen with a 25-point menu bar.
Screen mainDisplay() { return {{0, 0, 1440, 900}, {0, 0, 1440, 875}}; }

const std::vector<std::string> windowValues = {
    "Ferrolatch recovery: Backup",
    "Ferrolatch Backup " + uuid,
    key43,
    website,
    "Manual APFS recovery password for Backup (" + uuid + "). Use it in Disk Utility if Ferrolatch cannot unlock the disk.",
};

}

TEST(RecoveryEntry, HoldsTheFiveFieldsOfEachVariant)
{
    SecretBytes password = SecretBytes::copyOf(key43);
    auto window = recoveryEntry(HandoffVariant::Window, password, "Backup", uuid);
    auto terminal = recoveryEntry(HandoffVariant::Terminal, password, "Backup", uuid);
    ASSERT_EQ(window.size(), 5u);
    ASSERT_EQ(terminal.size(), 5u);

    const std::vector<std::string> names = {"Title", "User Name", "Password", "Website", "Notes"};
    const std::vector<std::string> terminalValues = {windowValues[0], windowValues[1], key43, website,
                                                     "Manual APFS recovery password for Backup (" + uuid + ")"};
    const std::vector<std::string> windowInstructions = {
        "In Passwords, click the + button to start a new entry, then paste into Title.", "Paste into User Name.",
        "Paste into Password. Ferrolatch never shows it.", "Paste into Website.",
        "Paste into Notes, then save the entry in Passwords."};
    const std::vector<std::string> terminalInstructions = {
        windowInstructions[0], windowInstructions[1], "Paste into Password. The password is never printed.",
        windowInstructions[3], "Paste into Notes and save the entry."};
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(window[i].name, names[i]);
        EXPECT_EQ(terminal[i].name, names[i]);
        EXPECT_EQ(textOf(window[i].value), windowValues[i]);
        EXPECT_EQ(textOf(terminal[i].value), terminalValues[i]);
        EXPECT_EQ(window[i].instruction, windowInstructions[i]);
        EXPECT_EQ(terminal[i].instruction, terminalInstructions[i]);
    }
    EXPECT_EQ(recoveryAccount("Backup", uuid), "Ferrolatch Backup " + uuid);
    EXPECT_EQ(website.find('/'), std::string::npos) << "a bare host name";
}

namespace {

struct GuidedFixture : ::testing::Test {
    FakeUi ui;
    std::ostringstream out;
    FakePasteboard pasteboard;
    FakeTools tools;
    FakeWorkspace workspace;
    ManualClock clock;
    HeadlessMainLoop loop {clock};
    PasswordsHandoffServices services {ui, out, pasteboard, tools, workspace, loop};
    SecretBytes password = SecretBytes::copyOf(key43);

    GuidedFixture()
    {
        workspace.screenList = {mainDisplay()};
        workspace.main = mainDisplay();
        tools.outcomes[{"-a", "Passwords"}] = ToolOutcome {0, "", ""};
    }

    // Answers step n with a button, checking the clipboard holds that step's field alone.
    FakeUi::Answer step(std::size_t n, std::optional<std::size_t> button)
    {
        std::string expected = windowValues[n - 1];
        return {"Step " + std::to_string(n) + " of 5", button, {}, [this, expected] {
                    ASSERT_TRUE(pasteboard.contents.has_value());
                    EXPECT_EQ(*pasteboard.contents, expected);
                }};
    }
};

}

TEST_F(GuidedFixture, HandsOverEachFieldAloneAndEndsWithAnEmptyClipboard)
{
    workspace.passwordsPIDs = {77};
    workspace.windows = std::vector<WindowListEntry> {{77, 0, Rect {0, 25, 600, 500}}};
    ui.answers = {step(1, 0), step(2, 0), step(3, 0), step(4, 0), step(5, 0)};
    guidedPasswordsSave(services, password, "Backup", uuid);

    EXPECT_EQ(out.str(), "PASSWORDS RECOVERY SAVE COMPLETE — CLIPBOARD CLEARED\n");
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_EQ(tools.calls, (std::vector<std::vector<std::string>> {{"/usr/bin/open", "-a", "Passwords"}}));
    EXPECT_TRUE(password.equals(key43)) << "the caller's bytes are left alone";

    // Cleared before every placement and after every confirmed step: never two fields at once.
    std::vector<std::string> expectedHistory;
    for (const auto& value : windowValues)
        expectedHistory.insert(expectedHistory.end(), {"clear", "set " + value, "clear"});
    expectedHistory.push_back("clear");
    EXPECT_EQ(pasteboard.history, expectedHistory);

    ASSERT_EQ(ui.shown.size(), 5u);
    const char* names[] = {"Title", "User Name", "Password", "Website", "Notes"};
    std::vector<std::string> expectedEvents;
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(names[i]);
        const ShownAlert& alert = ui.shown[i];
        EXPECT_EQ(alert.message, "Step " + std::to_string(i + 1) + " of 5: " + names[i] + " copied");
        expectedEvents.insert(expectedEvents.end(), {"activate", "layout " + alert.message, "run " + alert.message});
        EXPECT_EQ(alert.style, i == 2 ? AlertStyle::Warning : AlertStyle::Informational);
        EXPECT_EQ(alert.buttons, (std::vector<std::string> {i == 4 ? "Finish and Clear Clipboard" : "Next Field",
                                                            "Cancel and Clear Clipboard"}));
        EXPECT_TRUE(alert.informative.ends_with("\n\nFerrolatch clears the clipboard before copying the next field."));
        EXPECT_EQ(alert.informative.find(key43), std::string::npos);
        // Passwords sits at the left edge of the visible frame: the alerts go to its right.
        ASSERT_TRUE(alert.topLeft);
        EXPECT_EQ(alert.topLeft->x, 624);
        EXPECT_EQ(alert.topLeft->y, 851);
    }
    EXPECT_EQ(ui.events, expectedEvents);
    EXPECT_EQ(ui.shown[2].informative,
              "Paste into Password. Ferrolatch never shows it.\n\nFerrolatch clears the clipboard before copying the "
              "next field.");
    EXPECT_EQ(out.str().find(key43), std::string::npos);
}

TEST_F(GuidedFixture, CancellingAtAnyStepClearsAndSucceeds)
{
    for (std::size_t cancelAt = 1; cancelAt <= 5; ++cancelAt) {
        for (std::optional<std::size_t> how : {std::optional<std::size_t>(1), std::optional<std::size_t>()}) {
            SCOPED_TRACE("step " + std::to_string(cancelAt) + (how ? " cancel" : " dismissed"));
            ui = FakeUi {};
            out.str("");
            pasteboard = FakePasteboard {};
            for (std::size_t n = 1; n < cancelAt; ++n)
                ui.answers.push_back(step(n, 0));
            ui.answers.push_back(step(cancelAt, how));
            guidedPasswordsSave(services, password, "Backup", uuid);
            EXPECT_EQ(out.str(), "PASSWORDS RECOVERY SAVE CANCELLED — CLIPBOARD CLEARED\n");
            EXPECT_FALSE(pasteboard.contents);
            EXPECT_EQ(ui.shown.size(), cancelAt);
        }
    }
}

TEST_F(GuidedFixture, AFieldThatCannotBePlacedFailsWithItsName)
{
    const char* messages[] = {"could not copy the title", "could not copy the user name", "could not copy the password",
                              "could not copy the website", "could not copy the notes"};
    for (int failing = 1; failing <= 5; ++failing) {
        SCOPED_TRACE(failing);
        ui = FakeUi {};
        out.str("");
        pasteboard = FakePasteboard {};
        pasteboard.refuseSetNumber = failing;
        for (int n = 1; n < failing; ++n)
            ui.answers.push_back(step(static_cast<std::size_t>(n), 0));
        EXPECT_EQ(messageOf([&] { guidedPasswordsSave(services, password, "Backup", uuid); }), messages[failing - 1]);
        EXPECT_FALSE(pasteboard.contents);
        EXPECT_EQ(pasteboard.history.back(), "clear");
        EXPECT_EQ(out.str(), "");
    }
}

TEST_F(GuidedFixture, GoesOnWhenPasswordsCannotBeOpenedOrShowsNoWindow)
{
    tools.launchFails = true;
    ui.answers = {step(1, 0), step(2, 0), step(3, 0), step(4, 0), step(5, 0)};
    double start = clock.now();
    guidedPasswordsSave(services, password, "Backup", uuid);
    EXPECT_EQ(out.str(), "PASSWORDS RECOVERY SAVE COMPLETE — CLIPBOARD CLEARED\n");
    EXPECT_NEAR(clock.now() - start, 3.0, 0.11) << "waited the three seconds for a window";
    ASSERT_TRUE(ui.shown[0].topLeft);
    EXPECT_EQ(ui.shown[0].topLeft->x, 24);
    EXPECT_EQ(ui.shown[0].topLeft->y, 851);
}

TEST_F(GuidedFixture, AnAlertFailureStillClearsTheClipboard)
{
    ui.answers = {step(1, 0)}; // the second alert finds no answer and throws
    EXPECT_EQ(messageOf([&] { guidedPasswordsSave(services, password, "Backup", uuid); }),
              "no answer left for alert \"Step 2 of 5: User Name copied\"");
    EXPECT_FALSE(pasteboard.contents);
}

TEST_F(GuidedFixture, ClaimsAClearedClipboardOnlyOnceItIsCleared)
{
    // The final clear fails: the error is the outcome, not the success line.
    pasteboard.failClearNumber = 11;
    ui.answers = {step(1, 0), step(2, 0), step(3, 0), step(4, 0), step(5, 0)};
    EXPECT_EQ(messageOf([&] { guidedPasswordsSave(services, password, "Backup", uuid); }), "Input/output error");
    EXPECT_EQ(out.str(), "");

    ui = FakeUi {};
    pasteboard = FakePasteboard {};
    pasteboard.failClearNumber = 2; // the clear on cancelling the first step
    ui.answers = {step(1, 1)};
    EXPECT_EQ(messageOf([&] { guidedPasswordsSave(services, password, "Backup", uuid); }), "Input/output error");
    EXPECT_EQ(out.str(), "");
}

TEST_F(GuidedFixture, TheOfferRunsTheHandoffOrDefers)
{
    ui.answers = {{"Save a manual recovery password in Apple Passwords?", 1, {}, {}}};
    offerPasswordsRecoverySave(services, password, "Backup", uuid);
    EXPECT_EQ(out.str(), "PASSWORDS RECOVERY SAVE DEFERRED\n");
    EXPECT_TRUE(tools.calls.empty());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].message, "Save a manual recovery password in Apple Passwords?");
    EXPECT_EQ(ui.shown[0].style, AlertStyle::Informational);
    EXPECT_EQ(ui.shown[0].buttons, (std::vector<std::string> {"Save in Passwords", "Later"}));
    EXPECT_EQ(ui.shown[0].informative,
              "Recommended: this iCloud-synced entry can unlock the disk directly in Disk Utility if Ferrolatch or its "
              "passkey flow is unavailable. Ferrolatch will guide you through the five Passwords fields and clear the "
              "clipboard after every step.");
    EXPECT_EQ(ui.events.front(), "activate");

    ui = FakeUi {};
    out.str("");
    ui.answers = {{"Save a manual recovery password in Apple Passwords?", 0, {}, {}}, step(1, 1)};
    offerPasswordsRecoverySave(services, password, "Backup", uuid);
    EXPECT_EQ(out.str(), "PASSWORDS RECOVERY SAVE CANCELLED — CLIPBOARD CLEARED\n");
}

TEST_F(GuidedFixture, WaitsForTheWindowOnlyUntilItAppears)
{
    // Passwords shows its window one second after it was asked to open.
    double start = clock.now();
    workspace.beforeQuery = [&](FakeWorkspace& w) {
        if (clock.now() - start >= 1.0) {
            w.passwordsPIDs = {9};
            w.windows = std::vector<WindowListEntry> {{9, 0, Rect {100, 100, 500, 400}}};
        }
    };
    waitForPasswordsWindow(workspace, loop);
    EXPECT_NEAR(clock.now() - start, 1.0, 0.11);
    EXPECT_EQ(workspace.askedIdentifiers.front(), "com.apple.Passwords");

    workspace.beforeQuery = nullptr;
    workspace.passwordsPIDs.clear();
    start = clock.now();
    int before = workspace.pidQueries;
    waitForPasswordsWindow(workspace, loop);
    EXPECT_NEAR(clock.now() - start, 3.0, 0.11);
    EXPECT_GE(workspace.pidQueries - before, 30) << "polled every tenth of a second";
}

TEST(PasswordsWindowFrames, KeepsNormalPasswordsWindowsAndFlipsThemToScreenCoordinates)
{
    FakeWorkspace workspace;
    // The second screen is taller; the flip uses the first one.
    workspace.screenList = {mainDisplay(), Screen {{1440, 0, 1920, 1200}, {1440, 0, 1920, 1175}}};
    workspace.passwordsPIDs = {7, 8};
    workspace.windows = std::vector<WindowListEntry> {
        {7, 0, Rect {100, 50, 800, 600}},  // kept: y = 900 - 650
        {99, 0, Rect {0, 0, 500, 500}},    // another application
        {8, 3, Rect {0, 0, 500, 500}},     // not a normal window
        {8, std::nullopt, Rect {0, 0, 500, 500}},
        {std::nullopt, 0, Rect {0, 0, 500, 500}},
        {8, 0, std::nullopt},              // bounds that do not convert
        {8, 0, Rect {0, 0, 40, 500}},      // too narrow
        {8, 0, Rect {0, 0, 500, 40}},      // too low
        {8, 0, Rect {1500, 10, 41, 41}},   // kept: y = 900 - 51
    };
    EXPECT_EQ(passwordsWindowFrames(workspace), (std::vector<Rect> {{100, 250, 800, 600}, {1500, 849, 41, 41}}));

    FakeWorkspace notRunning = workspace;
    notRunning.passwordsPIDs.clear();
    EXPECT_TRUE(passwordsWindowFrames(notRunning).empty());

    FakeWorkspace noScreens = workspace;
    noScreens.screenList.clear();
    EXPECT_TRUE(passwordsWindowFrames(noScreens).empty());

    FakeWorkspace noList = workspace;
    noList.windows.reset();
    EXPECT_TRUE(passwordsWindowFrames(noList).empty());
}

namespace {

struct PlacementCase {
    const char* name;
    std::vector<Rect> passwords; // screen coordinates
    Size alert;
    Point expected;
};

// One 1440 by 875 visible frame from y = 0; its top is 875, so the top row is at 851.
const PlacementCase placementCases[] = {
    {"no Passwords window", {}, {420, 200}, {24, 851}},
    {"800 wide, centred, no height to spare: default", {{320, 137.5, 800, 600}}, {420, 200}, {24, 851}},
    {"800 wide, centred, room below", {{320, 500, 800, 300}}, {420, 200}, {24, 476}},
    {"800 wide, centred, room above", {{320, 50, 800, 300}}, {420, 200}, {24, 851}},
    {"800 wide, equal room above and below: below", {{320, 287.5, 800, 300}}, {420, 200}, {24, 263.5}},
    {"at the left edge: to its right", {{0, 100, 600, 500}}, {420, 200}, {624, 851}},
    {"at the right edge: to its left", {{840, 100, 600, 500}}, {420, 200}, {396, 851}},
    {"equal room both sides: left", {{520, 100, 400, 500}}, {420, 200}, {76, 851}},
    {"exactly the width needed on the right", {{0, 100, 972, 500}}, {420, 200}, {996, 851}},
    {"one point short on both sides", {{0, 100, 973, 500}}, {420, 200}, {24, 851}},
    {"two windows: their union", {{0, 100, 300, 300}, {200, 400, 300, 300}}, {420, 200}, {524, 851}},
};

}

TEST(StepPlacement, FollowsTheWorkedExamples)
{
    for (const auto& c : placementCases) {
        SCOPED_TRACE(c.name);
        auto topLeft = stepAlertTopLeft(c.passwords, {mainDisplay()}, mainDisplay(), c.alert);
        ASSERT_TRUE(topLeft);
        EXPECT_DOUBLE_EQ(topLeft->x, c.expected.x);
        EXPECT_DOUBLE_EQ(topLeft->y, c.expected.y);
    }
}

TEST(StepPlacement, ChoosesTheScreenPasswordsIsOn)
{
    Screen left = mainDisplay();
    Screen right {{1440, 0, 1920, 1200}, {1440, 0, 1920, 1150}};
    Size alert {420, 200};

    // Passwords on the right screen: placed within that screen's visible frame.
    auto onRight = stepAlertTopLeft({{1440, 100, 600, 500}}, {left, right}, left, alert);
    ASSERT_TRUE(onRight);
    EXPECT_EQ(onRight->x, 1440 + 600 + 24);
    EXPECT_EQ(onRight->y, 1150 - 24);

    // Passwords off every screen: the main screen, else the first one.
    auto offScreen = stepAlertTopLeft({{5000, 5000, 600, 500}}, {left, right}, right, alert);
    ASSERT_TRUE(offScreen);
    EXPECT_EQ(offScreen->y, 1150 - 24) << "the main screen's visible frame";
    auto noMain = stepAlertTopLeft({}, {right, left}, std::nullopt, alert);
    ASSERT_TRUE(noMain);
    EXPECT_EQ(noMain->x, 1440 + 24);
    EXPECT_EQ(noMain->y, 1150 - 24);

    EXPECT_FALSE(stepAlertTopLeft({{0, 0, 600, 500}}, {}, std::nullopt, alert)) << "no screen: not moved";
}

namespace {

struct TerminalFixture : ::testing::Test {
    std::ostringstream out;
    std::istringstream input;
    FakePasteboard pasteboard;
    FakeTools tools;
    TerminalHandoffServices services {out, input, pasteboard, tools};
    SecretBytes password = SecretBytes::copyOf(key43);

    void run() { terminalPasswordsHandoff(services, password, "Backup", uuid); }
};

const std::string terminalTranscript =
    "MANUAL RECOVERY SAVE READY\n"
    "STEP 1/5 — Title COPIED\n"
    "In Passwords, click the + button to start a new entry, then paste into Title.\n"
    "Press Return here after pasting it to copy the next field.\n"
    "STEP 2/5 — User Name COPIED\n"
    "Paste into User Name.\n"
    "Press Return here after pasting it to copy the next field.\n"
    "STEP 3/5 — Password COPIED\n"
    "Paste into Password. The password is never printed.\n"
    "Press Return here after pasting it to copy the next field.\n"
    "STEP 4/5 — Website COPIED\n"
    "Paste into Website.\n"
    "Press Return here after pasting it to copy the next field.\n"
    "STEP 5/5 — Notes COPIED\n"
    "Paste into Notes and save the entry.\n"
    "Press Return here after saving the entry to clear the clipboard.\n"
    "CLIPBOARD CLEARED\n";

}

TEST_F(TerminalFixture, PrintsEachStepAndClearsTheClipboardAtTheEnd)
{
    input.str("\n\ntyped text is ignored\n\n\n");
    run();
    EXPECT_EQ(out.str(), terminalTranscript);
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_EQ(pasteboard.history,
              (std::vector<std::string> {"clear", "set " + windowValues[0], "clear", "set " + windowValues[1], "clear",
                                         "set " + key43, "clear", "set " + website, "clear",
                                         "set Manual APFS recovery password for Backup (" + uuid + ")", "clear"}));
    EXPECT_EQ(tools.calls, (std::vector<std::vector<std::string>> {{"/usr/bin/open", "-a", "Passwords"}}));
    EXPECT_EQ(password.size(), key43.size());
    EXPECT_TRUE(allZero(password));
}

TEST_F(TerminalFixture, ALastLineWithoutALineFeedStillCountsAsReturn)
{
    input.str("\n\nnot-the-password\n\nsaved");
    run();
    EXPECT_EQ(out.str(), terminalTranscript);
    EXPECT_FALSE(pasteboard.contents);
}

TEST_F(TerminalFixture, ZeroesTheCallersBufferRightAfterThePasswordStep)
{
    input.str("\n\n\n\n\n");
    std::vector<bool> zeroWhenPlacing;
    pasteboard.onSet = [&] { zeroWhenPlacing.push_back(allZero(password)); };
    run();
    EXPECT_EQ(zeroWhenPlacing, (std::vector<bool> {false, false, false, true, true}));
}

TEST_F(TerminalFixture, EndOfInputCancelsWithAnEmptyClipboardAndAZeroedBuffer)
{
    for (int returns = 0; returns < 5; ++returns) {
        SCOPED_TRACE(returns);
        out.str("");
        input.clear();
        input.str(std::string(static_cast<std::size_t>(returns), '\n'));
        pasteboard = FakePasteboard {};
        password = SecretBytes::copyOf(key43);
        EXPECT_EQ(messageOf([&] { run(); }), "manual recovery save was cancelled");
        EXPECT_FALSE(pasteboard.contents);
        EXPECT_EQ(password.size(), key43.size());
        EXPECT_TRUE(allZero(password));
        EXPECT_EQ(out.str().find("CLIPBOARD CLEARED"), std::string::npos);
        EXPECT_NE(out.str().find("STEP " + std::to_string(returns + 1) + "/5"), std::string::npos);
    }
}

TEST_F(TerminalFixture, AFieldThatCannotBePlacedFailsWithItsName)
{
    input.str("\n\n\n\n\n");
    pasteboard.refuseSetNumber = 2;
    EXPECT_EQ(messageOf([&] { run(); }), "could not place the user name on the clipboard");
    EXPECT_FALSE(pasteboard.contents);
    EXPECT_TRUE(allZero(password));
    EXPECT_EQ(out.str().find("STEP 2/5"), std::string::npos);

    out.str("");
    input.clear();
    input.str("\n\n\n\n\n");
    pasteboard = FakePasteboard {};
    pasteboard.refuseSetNumber = 1;
    password = SecretBytes::copyOf(key43);
    EXPECT_EQ(messageOf([&] { run(); }), "could not place the title on the clipboard");
}

TEST_F(TerminalFixture, ClaimsAClearedClipboardOnlyOnceItIsCleared)
{
    input.str("\n\n\n\n\n");
    pasteboard.failClearNumber = 6; // the clear after the last Return
    EXPECT_EQ(messageOf([&] { run(); }), "Input/output error");
    EXPECT_EQ(out.str().find("CLIPBOARD CLEARED"), std::string::npos);
    EXPECT_TRUE(allZero(password));
}

TEST_F(TerminalFixture, GoesOnWhenPasswordsCannotBeOpened)
{
    tools.launchFails = true;
    input.str("\n\n\n\n\n");
    run();
    EXPECT_EQ(out.str(), terminalTranscript);
}
