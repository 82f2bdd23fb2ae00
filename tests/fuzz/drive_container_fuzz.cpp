// Set-up picks the container to fill from diskutil's APFS inventory, read from
// a child process: any bytes must give one container reference or an error,
// and a reference only ever for a container with a store on the disk.
#include "commands/drive_layout.h"
#include "disk/property_list.h"
#include "common/errors.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

namespace {

bool storedOn(const PlistValue::Dictionary& container, std::string_view prefix)
{
    const PlistValue::Array* stores = plistArray(container, "PhysicalStores");
    if (!stores)
        return false;
    for (const PlistValue& store : *stores) {
        const PlistValue::Dictionary* entry = store.dictionary();
        const std::string* device = entry ? plistString(*entry, "DeviceIdentifier") : nullptr;
        if (device && device->starts_with(prefix))
            return true;
    }
    return false;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        PlistValue inventory = parsePropertyList(input);
        std::string reference = selectAPFSContainer(inventory, "disk4");
        bool backed = false;
        for (const PlistValue& container : *plistArray(*inventory.dictionary(), "Containers")) {
            const std::string* name = plistString(*container.dictionary(), "ContainerReference");
            if (name && *name == reference && storedOn(*container.dictionary(), "disk4s"))
                backed = true;
        }
        if (!backed)
            std::abort();
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    return 0;
}
