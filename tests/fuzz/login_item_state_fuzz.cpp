// The virtual Mac's login item record is a file any process of the sysroot
// may damage: decoding never fails, and what it keeps survives another round
// through the encoder unchanged.
#include "platform/macsim/login_item_store.h"

#include <cstdint>
#include <cstdlib>

using namespace ferrolatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view file(reinterpret_cast<const char*>(data), size);
    std::string once = encodeLoginItemState(decodeLoginItemState(file));
    if (encodeLoginItemState(decodeLoginItemState(once)) != once)
        std::abort();
    return 0;
}
