#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ferrolatch {

// System-wide notifications between processes (the distributed notification
// center): a name and nothing else. Observers are called on the main loop.
class Notifications {
public:
    using Observer = std::function<void()>;
    using Token = unsigned long;

    virtual ~Notifications() = default;

    // Delivered at once to every process observing the name, backgrounded or not.
    virtual void post(std::string_view name) = 0;
    virtual Token observe(std::string_view name, Observer observer) = 0;
    virtual void removeObserver(Token token) = 0;
};

}
