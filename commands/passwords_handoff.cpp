#include "commands/passwords_handoff.h"

#include "common/ascii_case.h"
#include "common/constants.h"
#include "disk/system_tools.h"
#include "common/errors.h"
#include "common/on_failure.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string_view>

namespace ferrolatch {

namespace {

constexpr double placementMargin = 24;
constexpr double minimumWindowSide = 40;
constexpr double windowWaitSeconds = 3.0;
constexpr double windowPollSeconds = 0.1;

// Zeroes in place, so the caller still holds a buffer of the same size that
// shows the zeros.
void zeroInPlace(SecretBytes& bytes)
{
    std::span<std::uint8_t> contents = bytes.mutableBytes();
    std::fill(contents.begin(), contents.end(), std::uint8_t {0});
}

void wipeEntry(std::vector<RecoveryField>& entry)
{
    for (RecoveryField& field : entry)
        field.value.wipe();
}

// Consumes one line without keeping it: a user who pastes into this terminal
// instead of Passwords has just typed the password, and it must not end up in
// a string. False at end of input, as a line read would be.
bool awaitReturn(std::istream& input)
{
    input.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return input.gcount() > 0;
}

bool intersects(const Rect& a, const Rect& b)
{
    return a.minX() < b.maxX() && b.minX() < a.maxX() && a.minY() < b.maxY() && b.minY() < a.maxY();
}

Rect unionOf(const Rect& a, const Rect& b)
{
    double minX = std::min(a.minX(), b.minX());
    double minY = std::min(a.minY(), b.minY());
    double maxX = std::max(a.maxX(), b.maxX());
    double maxY = std::max(a.maxY(), b.maxY());
    return {minX, minY, maxX - minX, maxY - minY};
}

Alert stepAlert(const RecoveryField& field, std::size_t index, std::size_t count)
{
    Alert alert;
    alert.style = field.name == "Password" ? AlertStyle::Warning : AlertStyle::Informational;
    alert.messageText = "Step " + std::to_string(index + 1) + " of " + std::to_string(count) + ": " + field.name
        + " copied";
    alert.informativeText = field.instruction + "\n\nFerrolatch clears the clipboard before copying the next field.";
    alert.buttons = {{index + 1 == count ? "Finish and Clear Clipboard" : "Next Field"},
                     {"Cancel and Clear Clipboard"}};
    return alert;
}

std::string copyFailure(HandoffVariant variant, const std::string& fieldName)
{
    if (variant == HandoffVariant::Window)
        return "could not copy the " + asciiLowercased(fieldName);
    return "could not place the " + asciiLowercased(fieldName) + " on the clipboard";
}

enum class HandoffEnd { Finished, Cancelled };

// How a handoff waits for the user at a step, the field being on the
// clipboard: true to go on, false when the user cancels.
using AwaitStep = std::function<bool(RecoveryField& field, std::size_t index, std::size_t count)>;

// The walk both handoffs share: Passwords is asked to open, then each field
// goes onto a clipboard cleared just before it, and the clipboard is cleared
// again when the walk finishes, is cancelled or fails. The entry is wiped
// however it ends.
HandoffEnd stepThroughEntry(ToolRunner& tools, Pasteboard& pasteboard, HandoffVariant variant,
                            std::vector<RecoveryField>& entry, const std::function<void()>& afterOpening,
                            const AwaitStep& awaitStep)
{
    auto clearAndWipe = onFailure([&] {
        disregardingFailure([&] { pasteboard.clearContents(); });
        wipeEntry(entry);
    });
    // The user can open Passwords by hand; the handoff goes on.
    disregardingFailure([&] { runTool(tools, tools::open, {"-a", "Passwords"}); });
    afterOpening();

    HandoffEnd end = HandoffEnd::Finished;
    for (std::size_t index = 0; index < entry.size(); ++index) {
        RecoveryField& field = entry[index];
        pasteboard.clearContents();
        if (!pasteboard.setString(field.value.bytes()))
            throw ProofError(copyFailure(variant, field.name));
        if (!awaitStep(field, index, entry.size())) {
            end = HandoffEnd::Cancelled;
            break;
        }
        // The window's steps leave nothing behind while the user reads the next alert.
        if (variant == HandoffVariant::Window)
            pasteboard.clearContents();
    }
    // Cleared before the outcome is printed, so no line claims a clipboard still full.
    pasteboard.clearContents();
    clearAndWipe.dismiss();
    wipeEntry(entry);
    return end;
}

}

std::string recoveryAccount(const std::string& volumeName, const std::string& volumeUUID)
{
    return "Ferrolatch " + volumeName + " " + volumeUUID;
}

std::vector<RecoveryField> recoveryEntry(HandoffVariant variant, const SecretBytes& password,
                                         const std::string& volumeName, const std::string& volumeUUID)
{
    bool window = variant == HandoffVariant::Window;
    std::string notes = "Manual APFS recovery password for " + volumeName + " (" + volumeUUID + ")";
    if (window)
        notes += ". Use it in Disk Utility if Ferrolatch cannot unlock the disk.";

    std::vector<RecoveryField> entry;
    entry.push_back({"Title", SecretBytes::copyOf("Ferrolatch recovery: " + volumeName),
                     "In Passwords, click the + button to start a new entry, then paste into Title."});
    entry.push_back({"User Name", SecretBytes::copyOf(recoveryAccount(volumeName, volumeUUID)),
                     "Paste into User Name."});
    entry.push_back({"Password", password.clone(),
                     window ? "Paste into Password. Ferrolatch never shows it."
                            : "Paste into Password. The password is never printed."});
    entry.push_back({"Website", SecretBytes::copyOf(recoveryCredentialDomain), "Paste into Website."});
    entry.push_back({"Notes", SecretBytes::copyOf(notes),
                     window ? "Paste into Notes, then save the entry in Passwords." : "Paste into Notes and save the entry."});
    return entry;
}

void offerPasswordsRecoverySave(PasswordsHandoffServices& services, const SecretBytes& password,
                                const std::string& volumeName, const std::string& volumeUUID)
{
    Alert offer;
    offer.style = AlertStyle::Informational;
    offer.messageText = "Save a manual recovery password in Apple Passwords?";
    offer.informativeText = "Recommended: this iCloud-synced entry can unlock the disk directly in Disk Utility if "
                            "Ferrolatch or its passkey flow is unavailable. Ferrolatch will guide you through the five "
                            "Passwords fields and clear the clipboard after every step.";
    offer.buttons = {{"Save in Passwords"}, {"Later"}};
    services.ui.activate();
    if (services.ui.runModal(offer) == alertFirstButtonReturn)
        guidedPasswordsSave(services, password, volumeName, volumeUUID);
    else
        services.out << "PASSWORDS RECOVERY SAVE DEFERRED\n";
}

void guidedPasswordsSave(PasswordsHandoffServices& services, const SecretBytes& password,
                         const std::string& volumeName, const std::string& volumeUUID)
{
    std::vector<RecoveryField> entry = recoveryEntry(HandoffVariant::Window, password, volumeName, volumeUUID);
    auto waitForWindow = [&] { waitForPasswordsWindow(services.workspace, services.mainLoop); };
    auto askAtStep = [&](RecoveryField& field, std::size_t index, std::size_t count) {
        Alert alert = stepAlert(field, index, count);
        services.ui.activate();
        Size size = services.ui.layoutSize(alert);
        // Computed for every step, so the alerts follow Passwords when the user moves it.
        alert.topLeft = stepAlertTopLeft(passwordsWindowFrames(services.workspace), services.workspace.screens(),
                                         services.workspace.mainScreen(), size);
        return services.ui.runModal(alert) == alertFirstButtonReturn;
    };
    if (stepThroughEntry(services.tools, services.pasteboard, HandoffVariant::Window, entry, waitForWindow,
                         askAtStep)
        == HandoffEnd::Cancelled)
        services.out << "PASSWORDS RECOVERY SAVE CANCELLED — CLIPBOARD CLEARED\n";
    else
        services.out << "PASSWORDS RECOVERY SAVE COMPLETE — CLIPBOARD CLEARED\n";
}

std::vector<Rect> passwordsWindowFrames(Workspace& workspace)
{
    std::vector<std::int64_t> pids = workspace.runningApplicationPIDs(passwordsAppIdentifier);
    if (pids.empty())
        return {};
    std::vector<Screen> screens = workspace.screens();
    if (screens.empty())
        return {};
    const Rect firstFrame = screens.front().frame;
    std::optional<std::vector<WindowListEntry>> windows = workspace.onScreenWindowList();
    if (!windows)
        return {};

    std::set<std::int64_t> owners(pids.begin(), pids.end());
    std::vector<Rect> frames;
    for (const WindowListEntry& window : *windows) {
        if (!window.ownerPID || !owners.contains(*window.ownerPID))
            continue;
        if (!window.layer || *window.layer != 0 || !window.bounds)
            continue;
        const Rect& bounds = *window.bounds;
        if (!(bounds.width > minimumWindowSide && bounds.height > minimumWindowSide))
            continue;
        frames.push_back({bounds.minX(), firstFrame.maxY() - bounds.maxY(), bounds.width, bounds.height});
    }
    return frames;
}

void waitForPasswordsWindow(Workspace& workspace, MainLoop& mainLoop)
{
    Clock& clock = mainLoop.clock();
    const double deadline = clock.now() + windowWaitSeconds;
    for (;;) {
        if (!passwordsWindowFrames(workspace).empty())
            return;
        if (!(clock.now() < deadline))
            return;
        // Shared, not on the stack: the slice may still be queued if the loop
        // is left by an exception from another task.
        auto sliceOver = std::make_shared<bool>(false);
        mainLoop.postAfter(windowPollSeconds, [sliceOver] { *sliceOver = true; });
        mainLoop.runUntil([&sliceOver] { return *sliceOver; });
    }
}

std::optional<Point> stepAlertTopLeft(const std::vector<Rect>& passwordsFrames, const std::vector<Screen>& screens,
                                      const std::optional<Screen>& mainScreen, Size alertSize)
{
    std::optional<Rect> passwords;
    for (const Rect& frame : passwordsFrames)
        passwords = passwords ? unionOf(*passwords, frame) : frame;

    std::optional<Screen> screen;
    if (passwords) {
        auto found = std::find_if(screens.begin(), screens.end(),
                                  [&](const Screen& candidate) { return intersects(candidate.frame, *passwords); });
        if (found != screens.end())
            screen = *found;
    }
    if (!screen)
        screen = mainScreen;
    if (!screen && !screens.empty())
        screen = screens.front();
    if (!screen)
        return std::nullopt;

    const Rect& visible = screen->visibleFrame;
    const double width = alertSize.width;
    const double height = alertSize.height;
    double left = visible.minX() + placementMargin;
    double top = visible.maxY();
    if (passwords) {
        const Rect& u = *passwords;
        double leftSpace = u.minX() - visible.minX();
        double rightSpace = visible.maxX() - u.maxX();
        double belowSpace = u.minY() - visible.minY();
        double aboveSpace = visible.maxY() - u.maxY();
        if (width + 2 * placementMargin <= std::max(leftSpace, rightSpace)) {
            left = rightSpace <= leftSpace ? u.minX() - placementMargin - width : u.maxX() + placementMargin;
            top = visible.maxY();
        } else if (height + 2 * placementMargin <= std::max(aboveSpace, belowSpace)) {
            left = visible.minX() + placementMargin;
            top = aboveSpace <= belowSpace ? u.minY() : visible.maxY();
        }
    }
    return Point {left, top - placementMargin};
}

void terminalPasswordsHandoff(TerminalHandoffServices& services, SecretBytes& password, const std::string& volumeName,
                              const std::string& volumeUUID)
{
    std::vector<RecoveryField> entry = recoveryEntry(HandoffVariant::Terminal, password, volumeName, volumeUUID);
    std::ostream& out = services.out;
    auto zeroPassword = onFailure([&] { zeroInPlace(password); });

    out << "MANUAL RECOVERY SAVE READY\n";
    auto waitForReturn = [&](RecoveryField& field, std::size_t index, std::size_t count) {
        bool last = index + 1 == count;
        out << "STEP " << index + 1 << "/" << count << " — " << field.name << " COPIED\n"
            << field.instruction << '\n'
            << (last ? "Press Return here after saving the entry to clear the clipboard."
                     : "Press Return here after pasting it to copy the next field.")
            << '\n';
        out.flush();

        if (!awaitReturn(services.input))
            throw ProofError("manual recovery save was cancelled");

        if (field.name == "Password") {
            zeroInPlace(password);
            field.value.wipe();
        }
        return true;
    };
    stepThroughEntry(services.tools, services.pasteboard, HandoffVariant::Terminal, entry, [] {}, waitForReturn);
    zeroPassword.dismiss();
    out << "CLIPBOARD CLEARED\n";
}

}
