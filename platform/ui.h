#pragma once

#include "common/secret_bytes.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ferrolatch {

// Points, with the origin at the bottom left of the main screen as on a Mac.
struct Size {
    double width = 0;
    double height = 0;
};

struct Point {
    double x = 0;
    double y = 0;
};

struct Font {
    enum class Family { System, MonospacedSystem } family = Family::System;
    double pointSize = 13;
    enum class Weight { Regular, Medium, Semibold, Bold } weight = Weight::Regular;
};

enum class TextColor { Label, Link, SystemGreen };

// Accessory controls. The logic describes them; the adapter shows them and,
// when the alert ends, writes back what the user left in them (text, secure
// text, selection), so a caller that shows the same alert again keeps them.
struct TextField {
    std::string text; // initial text in, typed text out
    std::string placeholder;
    Size size {440, 24};
    bool initialFirstResponder = false;
};

struct SecureTextField {
    SecretBytes text; // typed text out (UTF-8); never shown, never logged
    Size size {320, 24};
    bool initialFirstResponder = false;
};

struct PopUpButton {
    std::vector<std::string> items;
    std::size_t selectedIndex = 0; // in and out
    Size size {320, 26};
    bool pullsDown = false;
};

// A multi-line label. Its text may carry a secret (a recovery key), so it is
// held like one.
struct WrappingLabel {
    SecretBytes text; // UTF-8
    Font font;
    Size size {560, 170};
    int maximumNumberOfLines = 0; // 0: no limit
};

// One run of a rich text; runs are shown one after the other.
struct TextRun {
    std::string text;
    std::optional<Font> font; // absent: the text's base font
    TextColor color = TextColor::Label;
    std::string link;         // a URL, or empty
    bool underlined = false;
};

// A read-only, selectable text in a scroll view with a bezel border and an
// automatically hiding vertical scroller.
struct ScrollingRichText {
    std::vector<TextRun> runs;
    Font baseFont;
    Size size {620, 360};
    Size inset {10, 10};
    double textContainerWidth = 600;
};

using GridControl = std::variant<TextField, SecureTextField, PopUpButton>;

struct GridRow {
    std::string label;
    GridControl control;
};

// Labelled rows: the label column aligned to its trailing edge.
struct Grid {
    std::vector<GridRow> rows;
    double rowSpacing = 10;
    double columnSpacing = 12;
    Size size {560, 72};
};

using Accessory = std::variant<TextField, SecureTextField, PopUpButton, WrappingLabel, ScrollingRichText, Grid>;

enum class AlertStyle { Warning, Informational, Critical };

struct AlertButton {
    std::string title;
    bool destructive = false;
};

// runModal answers: 1000 for the first button added, 1001 for the second, and so
// on; dismissal or an aborted alert gives alertAbortedResponse.
inline constexpr long alertFirstButtonReturn = 1000;
inline constexpr long alertAbortedResponse = -1001;

struct Alert {
    AlertStyle style = AlertStyle::Warning;
    std::string messageText;
    std::string informativeText;
    std::vector<AlertButton> buttons; // in the order added
    std::optional<Accessory> accessory;
    std::string iconPath;              // an image file; empty: the application's icon
    bool excludedFromCapture = false;  // window sharing type none
    std::optional<Point> topLeft;      // where the window's top-left corner goes; absent: default placement
};

// A plain titled window, such as the anchor a passkey sheet attaches to.
struct WindowDescription {
    std::string title;
    Size contentSize {460, 180};
    bool closable = true;
    bool centered = true;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void makeKeyAndOrderFront() = 0;
    virtual void orderOut() = 0;
};

// The windowing system. Everything runs on the main thread; runModal nests the
// main loop until the alert is answered.
class Ui {
public:
    virtual ~Ui() = default;

    // A foreground application without a Dock icon (accessory policy), launched.
    virtual void prepareApplication() = 0;
    // Brings the application to the front, ignoring other applications.
    virtual void activate() = 0;
    virtual void beep() = 0;

    // Lays the alert out and returns its window's frame size.
    virtual Size layoutSize(const Alert& alert) = 0;
    // Shows the alert modally and returns the response; the accessory holds the
    // user's input afterwards.
    virtual long runModal(Alert& alert) = 0;
    // Ends the alert now running modally, if any, with alertAbortedResponse.
    virtual void abortModal() = 0;

    virtual std::unique_ptr<Window> createWindow(const WindowDescription& description) = 0;
};

}
