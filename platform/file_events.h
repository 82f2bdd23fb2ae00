#pragma once

#include <functional>
#include <string>

namespace ferrolatch {

// Changes of files and folders, as a Mac's file system events report them.
class FileEvents {
public:
    using Observer = std::function<void()>;
    using Token = unsigned long;

    virtual ~FileEvents() = default;

    // Calls the observer on the main loop after the item at the path changes:
    // it is created, written, replaced or removed, or, for a folder, an entry
    // of it is. The path need not exist yet. Changes close together may be
    // reported once; nothing is reported while nothing changes.
    virtual Token observe(const std::string& path, Observer observer) = 0;
    virtual void removeObserver(Token token) = 0;
};

}
