#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ferrolatch {

// One row of a status menu. The menu is a model: the adapter shows it as it
// is and sends a chosen row's action on the main loop.
struct MenuRow {
    enum class Kind { Item, Separator } kind = Kind::Item;
    std::string title;
    std::function<void()> action; // none: the row does nothing when chosen
    bool enabled = true;
    bool checked = false;
    std::string keyEquivalent;    // "q", or empty
    long tag = 0;
    std::optional<std::string> representedObject;

    static MenuRow separator()
    {
        MenuRow row;
        row.kind = Kind::Separator;
        row.enabled = false;
        return row;
    }
};

struct Menu {
    std::vector<MenuRow> rows;
};

// Told before the menu shows, so that it can bring its rows up to date.
class MenuDelegate {
public:
    virtual ~MenuDelegate() = default;
    virtual void menuWillOpen() = 0;
};

// A template image of the status button, loaded from a bundle resource.
struct StatusImage {
    std::string resourceName; // "FerrolatchStatusIcon"
    std::string path;         // the file it was loaded from
    double width = 18;        // points
    double height = 18;
    bool isTemplate = true;
};

// What the status button shows: an image alone, or a title when there is none.
struct StatusButton {
    std::string title;
    std::optional<StatusImage> image;
    std::string toolTip;
};

// The process's item in the system status bar (a variable-length
// NSStatusItem) with its menu. Everything runs on the main thread. Before the
// menu shows, the adapter calls the delegate's menuWillOpen; then, if the user
// chose a row, that row's action (found again by its place in the menu as it
// is after menuWillOpen).
class StatusItem {
public:
    virtual ~StatusItem() = default;

    // Whether the file is an image the status bar can show; false when it is
    // missing or does not load.
    virtual bool canLoadImage(const std::string& path) = 0;
    virtual void setButton(const StatusButton& button) = 0;
    virtual StatusButton button() const = 0;
    // Replaces the menu; the delegate must outlive the menu.
    virtual void setMenu(Menu menu, MenuDelegate* delegate) = 0;
    virtual const Menu& menu() const = 0;
};

}
