#pragma once

#include "platform/file_events.h"
#include "platform/main_loop.h"

#include <memory>

namespace ferrolatch {

// File events from Linux's inotify. Each observation has its own inotify
// instance watching the folder that holds the path (and the path itself when
// it is a folder); while the path does not exist, its deepest existing
// ancestor is watched for the next step towards it. After each change the
// watches are set up again, since the item may have been replaced. One
// thread blocks on all of them and hands each change to the main loop.
class LinuxFileEvents final : public FileEvents {
public:
    explicit LinuxFileEvents(MainLoop& mainLoop);
    ~LinuxFileEvents() override;
    LinuxFileEvents(const LinuxFileEvents&) = delete;
    LinuxFileEvents& operator=(const LinuxFileEvents&) = delete;

    Token observe(const std::string& path, Observer observer) override;
    void removeObserver(Token token) override;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

}
