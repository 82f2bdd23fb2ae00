// A disk's identity decides whether it may be erased: whatever diskutil
// prints, an accepted disk must be exactly the requested external whole disk
// of plausible size, and its token must be the one its fields give.
#include "disk/disk_identity.h"
#include "common/errors.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        DriveInspection disk = inspectDiskInfo(input, "disk4");
        if (disk.deviceIdentifier != "disk4" || disk.deviceNode != "/dev/disk4" || disk.sizeBytes < 67108864 ||
            disk.mediaName.empty() || disk.busProtocol.empty() || disk.deviceTreePath.empty() ||
            disk.confirmationToken !=
                confirmationToken("disk4", disk.mediaName, disk.busProtocol, disk.sizeBytes, disk.deviceTreePath))
            std::abort();
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    try {
        parseExternalDiskInventory(input);
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    return 0;
}
