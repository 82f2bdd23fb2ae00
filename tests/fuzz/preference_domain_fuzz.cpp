// A preference domain file of the virtual Mac, which any process may have written.
#include "common/errors.h"
#include "platform/macsim/macsim_preferences.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<ferrolatch::PreferenceValue::Dictionary> domain = ferrolatch::decodePreferenceDomain(bytes);
    if (!domain)
        return 0;
    // What was read must write out and read back as itself, or a merge would
    // change entries it never touched.
    std::string written;
    try {
        written = ferrolatch::encodePreferenceDomain(*domain);
    } catch (const ferrolatch::PlatformError&) {
        return 0;
    }
    std::optional<ferrolatch::PreferenceValue::Dictionary> again = ferrolatch::decodePreferenceDomain(written);
    if (!again || encodePreferenceDomain(*again) != written)
        std::abort();
    return 0;
}
