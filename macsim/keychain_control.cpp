#include "macsim/keychain_control.h"

#include "macsim/basics.h"
#include "platform/macsim/keychain_store.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

namespace macsim {

namespace {

using namespace ferrolatch;

// Every attribute of every item; never a value, which stays sealed.
void listItems(const KeychainStoreLocation& location)
{
    std::string listing;
    try {
        KeychainFile file(location);
        listing = encodeKeychainListing(file.items());
    } catch (const KeychainStatusFailure& failure) {
        throw ToolError("macsim: the keychain cannot be read (OSStatus " + std::to_string(failure.status) + ")");
    }
    std::cout << listing << "\n";
}

OSStatus parseStatus(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        throw ToolError("macsim: not a 32-bit status: " + text);
    return static_cast<OSStatus>(number);
}

}

void keychainCommand(const std::string& sysroot, const std::string& loginName,
                     const std::vector<std::string>& arguments)
{
    KeychainStoreLocation location = keychainStoreLocation(sysroot, loginName);
    try {
        if (arguments.size() == 1 && arguments[0] == "list")
            return listItems(location);
        if (arguments.size() == 2 && arguments[0] == "fault" && arguments[1] == "clear")
            return clearKeychainFaults(location);
        if (arguments.size() == 3 && arguments[0] == "fault") {
            std::optional<KeychainOperation> operation = keychainOperationNamed(arguments[1]);
            if (!operation)
                throw ToolError("macsim: the operation must be one of add, update, copy, delete");
            return addKeychainFault(location, *operation, parseStatus(arguments[2]));
        }
    } catch (const KeychainStatusFailure& failure) {
        throw ToolError("macsim: the keychain cannot be changed (OSStatus " + std::to_string(failure.status) + ")");
    }
    usageError();
}

}
