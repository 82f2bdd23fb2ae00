// diskutil's APFS inventory and disk information are read from a child
// process: the parsers must turn any bytes into volumes or their own errors,
// and a container filter may only ever narrow the list.
#include "disk/apfs_inventory.h"
#include "common/errors.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<APFSVolume> all = parseAPFSInventory(input, std::nullopt);
        std::vector<APFSVolume> filtered = parseAPFSInventory(input, std::string("disk5"));
        if (filtered.size() > all.size())
            std::abort();
        // The filtered rows appear in the full list, in the same order.
        auto next = all.begin();
        for (const APFSVolume& volume : filtered) {
            next = std::find(next, all.end(), volume);
            if (next == all.end())
                std::abort();
            ++next;
        }
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    try {
        if (parseMountPoint(input, "disk5s2").empty())
            std::abort();
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    return 0;
}
