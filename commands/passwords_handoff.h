#pragma once

#include "common/secret_bytes.h"
#include "platform/main_loop.h"
#include "platform/pasteboard.h"
#include "platform/tool_runner.h"
#include "platform/ui.h"
#include "platform/workspace.h"

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ferrolatch {

// The account a recovery copy is kept under: "Ferrolatch <name> <UUID>".
std::string recoveryAccount(const std::string& volumeName, const std::string& volumeUUID);

// One field of the Passwords entry: its name, what goes on the clipboard and
// what the user is told to do with it.
struct RecoveryField {
    std::string name;
    SecretBytes value; // UTF-8; the password field holds a copy of the password
    std::string instruction;
};

enum class HandoffVariant { Window, Terminal };

// Title, User Name, Password, Website, Notes, in that order.
std::vector<RecoveryField> recoveryEntry(HandoffVariant variant, const SecretBytes& password,
                                         const std::string& volumeName, const std::string& volumeUUID);

// What the guided handoff uses.
struct PasswordsHandoffServices {
    Ui& ui;
    std::ostream& out;
    Pasteboard& pasteboard;
    ToolRunner& tools;
    Workspace& workspace;
    MainLoop& mainLoop;
};

// Asks, as set-up ends, whether to save the recovery password in Passwords;
// "Later" prints "PASSWORDS RECOVERY SAVE DEFERRED".
void offerPasswordsRecoverySave(PasswordsHandoffServices& services, const SecretBytes& password,
                                const std::string& volumeName, const std::string& volumeUUID);

// Opens Passwords and hands the five fields over one at a time through the
// clipboard, each with a step alert placed beside the Passwords window. The
// clipboard is cleared after every step and however the handoff ends;
// cancelling is a success. The caller's bytes are left as they are.
void guidedPasswordsSave(PasswordsHandoffServices& services, const SecretBytes& password,
                         const std::string& volumeName, const std::string& volumeUUID);

// The frames of the Passwords app's normal windows larger than 40 by 40
// points, in screen coordinates (origin bottom left), in window-list order.
std::vector<Rect> passwordsWindowFrames(Workspace& workspace);

// Waits up to three seconds for a Passwords window, keeping the main loop
// running; never fails.
void waitForPasswordsWindow(Workspace& workspace, MainLoop& mainLoop);

// Where a step alert of the given size goes: beside the union of the Passwords
// windows when there is room, else above or below it, else at the top left
// of the visible frame. Absent when there is no screen at all.
std::optional<Point> stepAlertTopLeft(const std::vector<Rect>& passwordsFrames, const std::vector<Screen>& screens,
                                      const std::optional<Screen>& mainScreen, Size alertSize);

// What the terminal handoff uses. input is where the user presses Return.
struct TerminalHandoffServices {
    std::ostream& out;
    std::istream& input;
    Pasteboard& pasteboard;
    ToolRunner& tools;
};

// The handoff on a terminal: one step line per field, Return to go on. The
// caller's password is zeroed in place once the Password step is confirmed,
// and on any failure; end of input fails with "manual recovery save was
// cancelled" and leaves the clipboard empty.
void terminalPasswordsHandoff(TerminalHandoffServices& services, SecretBytes& password, const std::string& volumeName,
                              const std::string& volumeUUID);

}
