#pragma once

#include "platform/login_item.h"
#include "platform/posix/record_lock.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// A failure queued for the next register or unregister call.
struct LoginItemFault {
    std::string operation; // "register" or "unregister"
    std::string domain;
    long code = 0;
    std::string description;
};

// The login item of one virtual Mac, as its state file keeps it: the status
// value, how often each call was made, and the queued faults.
struct LoginItemState {
    std::int64_t status = static_cast<std::int64_t>(LoginItemStatus::NotRegistered);
    long registerCalls = 0;
    long unregisterCalls = 0;
    std::vector<LoginItemFault> faults;
};

// private/var/db/macsim/login-item.json of the sysroot.
std::string loginItemStateFile(const std::string& sysroot);

// The name a status value goes by (SMAppService.Status), "unknown" for others;
// and back, a name or a decimal value.
std::string loginItemStatusName(std::int64_t status);
std::optional<std::int64_t> loginItemStatusNamed(std::string_view name);

std::string encodeLoginItemState(const LoginItemState& state);
// A missing or damaged file reads as a Mac that never registered the item.
LoginItemState decodeLoginItemState(std::string_view text);

// The state file held under its lock from construction to destruction, so
// the product and the control tool take turns. Fails with a PlatformError.
class LoginItemFile {
public:
    explicit LoginItemFile(const std::string& sysroot);
    LoginItemFile(const LoginItemFile&) = delete;
    LoginItemFile& operator=(const LoginItemFile&) = delete;

    LoginItemState& state() { return m_state; }
    void save();

private:
    std::string m_path;
    RecordLock m_lock;
    LoginItemState m_state;
};

// The product's view of it: register enables the item unless it waits for
// the user's approval, which a new registration does not give; unregister
// leaves it not registered. A queued fault fails its call instead, once.
class MacsimLoginItem final : public LoginItem {
public:
    explicit MacsimLoginItem(std::string sysroot) : m_sysroot(std::move(sysroot)) {}

    LoginItemStatus status() override;
    void registerItem() override;
    void unregisterItem() override;

private:
    std::string m_sysroot;
};

}
