#pragma once

#include "common/errors.h"
#include "platform/login_item.h"

#include <optional>

namespace ferrolatch::testing {

// Behaves as the service does: registering enables the item unless it waits
// for approval; unregistering leaves it not registered.
class FakeLoginItem final : public LoginItem {
public:
    explicit FakeLoginItem(LoginItemStatus initial) : current(initial) {}

    LoginItemStatus status() override { return current; }
    void registerItem() override
    {
        ++registrations;
        if (failure)
            throw *failure;
        if (current != LoginItemStatus::RequiresApproval)
            current = LoginItemStatus::Enabled;
    }
    void unregisterItem() override
    {
        ++unregistrations;
        if (failure)
            throw *failure;
        current = LoginItemStatus::NotRegistered;
    }

    LoginItemStatus current;
    int registrations = 0;
    int unregistrations = 0;
    std::optional<PlatformError> failure;
};

}
