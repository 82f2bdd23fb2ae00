#pragma once

#include <cstdint>

namespace ferrolatch {

// The login item's status as the service-management service reports it. The
// service may answer a value this program does not know; such a value is
// kept as it came and shown as "unknown".
enum class LoginItemStatus : std::int64_t {
    NotRegistered = 0,
    Enabled = 1,
    RequiresApproval = 2,
    NotFound = 3,
};

// The running application's own login item (SMAppService.mainAppService).
class LoginItem {
public:
    virtual ~LoginItem() = default;

    // Read fresh at every call; never fails.
    virtual LoginItemStatus status() = 0;
    // Fail with the platform's error (a PlatformError).
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

}
