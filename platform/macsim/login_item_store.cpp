#include "platform/macsim/login_item_store.h"

#include "common/errors.h"
#include "platform/posix/atomic_write.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

namespace ferrolatch {

namespace {

using nlohmann::json;

const char* const names[] = {"notRegistered", "enabled", "requiresApproval", "notFound"};

std::optional<LoginItemFault> takeFault(LoginItemState& state, std::string_view operation)
{
    for (auto fault = state.faults.begin(); fault != state.faults.end(); ++fault) {
        if (fault->operation == operation) {
            LoginItemFault taken = *fault;
            state.faults.erase(fault);
            return taken;
        }
    }
    return std::nullopt;
}

}

std::string loginItemStateFile(const std::string& sysroot) { return sysroot + "/private/var/db/macsim/login-item.json"; }

std::string loginItemStatusName(std::int64_t status)
{
    return status >= 0 && status <= 3 ? names[status] : "unknown";
}

std::optional<std::int64_t> loginItemStatusNamed(std::string_view name)
{
    for (std::int64_t value = 0; value <= 3; ++value)
        if (name == names[value])
            return value;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
    if (name.empty() || error != std::errc() || end != name.data() + name.size())
        return std::nullopt;
    return value;
}

std::string encodeLoginItemState(const LoginItemState& state)
{
    json faults = json::array();
    for (const LoginItemFault& fault : state.faults)
        faults.push_back({{"operation", fault.operation}, {"domain", fault.domain}, {"code", fault.code},
                          {"description", fault.description}});
    return json {{"status", state.status}, {"registerCalls", state.registerCalls},
                 {"unregisterCalls", state.unregisterCalls}, {"faults", faults}}
               .dump(2)
        + "\n";
}

LoginItemState decodeLoginItemState(std::string_view text)
{
    LoginItemState state;
    json document = json::parse(text, nullptr, false);
    if (!document.is_object())
        return state;
    auto integer = [&](const char* key, auto& field) {
        if (document.contains(key) && document[key].is_number_integer())
            field = document[key].get<std::remove_reference_t<decltype(field)>>();
    };
    integer("status", state.status);
    integer("registerCalls", state.registerCalls);
    integer("unregisterCalls", state.unregisterCalls);
    if (document.contains("faults") && document["faults"].is_array()) {
        for (const json& item : document["faults"]) {
            if (!item.is_object() || !item.contains("operation") || !item["operation"].is_string())
                continue;
            LoginItemFault fault;
            fault.operation = item["operation"].get<std::string>();
            if (item.contains("domain") && item["domain"].is_string())
                fault.domain = item["domain"].get<std::string>();
            if (item.contains("code") && item["code"].is_number_integer())
                fault.code = item["code"].get<long>();
            if (item.contains("description") && item["description"].is_string())
                fault.description = item["description"].get<std::string>();
            state.faults.push_back(std::move(fault));
        }
    }
    return state;
}

LoginItemFile::LoginItemFile(const std::string& sysroot) : m_path(loginItemStateFile(sysroot)), m_lock(m_path)
{
    std::ifstream stream(m_path, std::ios::binary);
    if (stream) {
        std::ostringstream contents;
        contents << stream.rdbuf();
        m_state = decodeLoginItemState(contents.str());
    }
}

void LoginItemFile::save()
{
    if (int failure = writeThroughTemporary(m_path, encodeLoginItemState(m_state), 0600))
        throw PlatformError::fromErrno(failure, "could not write " + m_path);
}

LoginItemStatus MacsimLoginItem::status()
{
    try {
        LoginItemFile file(m_sysroot);
        return static_cast<LoginItemStatus>(file.state().status);
    } catch (const PlatformError&) {
        // The service always answers; an unreadable record is one it does not know.
        return static_cast<LoginItemStatus>(-1);
    }
}

void MacsimLoginItem::registerItem()
{
    LoginItemFile file(m_sysroot);
    LoginItemState& state = file.state();
    ++state.registerCalls;
    std::optional<LoginItemFault> fault = takeFault(state, "register");
    if (!fault && state.status != static_cast<std::int64_t>(LoginItemStatus::RequiresApproval))
        state.status = static_cast<std::int64_t>(LoginItemStatus::Enabled);
    file.save();
    if (fault)
        throw PlatformError(fault->domain, fault->code, fault->description);
}

void MacsimLoginItem::unregisterItem()
{
    LoginItemFile file(m_sysroot);
    LoginItemState& state = file.state();
    ++state.unregisterCalls;
    std::optional<LoginItemFault> fault = takeFault(state, "unregister");
    if (!fault)
        state.status = static_cast<std::int64_t>(LoginItemStatus::NotRegistered);
    file.save();
    if (fault)
        throw PlatformError(fault->domain, fault->code, fault->description);
}

}
