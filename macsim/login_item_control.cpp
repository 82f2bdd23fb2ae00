#include "macsim/login_item_control.h"

#include "common/errors.h"
#include "macsim/basics.h"
#include "platform/macsim/login_item_store.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

namespace macsim {

namespace {

using namespace ferrolatch;

void printLoginItem(const LoginItemState& state)
{
    nlohmann::json faults = nlohmann::json::array();
    for (const LoginItemFault& fault : state.faults)
        faults.push_back({{"operation", fault.operation}, {"domain", fault.domain}, {"code", fault.code},
                          {"description", fault.description}});
    nlohmann::json shown = {{"status", loginItemStatusName(state.status)}, {"value", state.status},
                            {"registerCalls", state.registerCalls}, {"unregisterCalls", state.unregisterCalls},
                            {"faults", faults}};
    std::cout << shown.dump(2) << "\n";
}

long parseCode(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno == ERANGE)
        throw ToolError("macsim: not an error code: " + text);
    return number;
}

}

void loginItemCommand(const std::string& sysroot, const std::vector<std::string>& arguments)
{
    try {
        if (arguments.empty()) {
            LoginItemFile file(sysroot);
            return printLoginItem(file.state());
        }
        if (arguments.size() == 2 && arguments[0] == "set") {
            std::optional<std::int64_t> status = loginItemStatusNamed(arguments[1]);
            if (!status)
                throw ToolError("macsim: the status must be notRegistered, enabled, requiresApproval, notFound or a "
                                "number");
            LoginItemFile file(sysroot);
            file.state().status = *status;
            return file.save();
        }
        if (arguments.size() == 2 && arguments[0] == "fault" && arguments[1] == "clear") {
            LoginItemFile file(sysroot);
            file.state().faults.clear();
            return file.save();
        }
        if (arguments.size() == 5 && arguments[0] == "fault") {
            if (arguments[1] != "register" && arguments[1] != "unregister")
                throw ToolError("macsim: the operation must be register or unregister");
            if (arguments[2].empty() || arguments[4].empty())
                throw ToolError("macsim: a login item fault needs a domain and a description");
            LoginItemFault fault {arguments[1], arguments[2], parseCode(arguments[3]), arguments[4]};
            LoginItemFile file(sysroot);
            file.state().faults.push_back(std::move(fault));
            return file.save();
        }
    } catch (const PlatformError& failure) {
        throw ToolError(std::string("macsim: the login item cannot be changed: ") + failure.what());
    }
    usageError();
}

}
