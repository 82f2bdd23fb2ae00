// hdiutil's attachment receipt names the device that is later detached: any
// bytes give a device and mount point or one of the parser's own errors.
#include "disk/disk_images.h"
#include "common/errors.h"

#include <cstdint>
#include <string_view>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        parseAttachmentReceipt(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const ProofError&) {
    } catch (const PlatformError&) {
    }
    return 0;
}
