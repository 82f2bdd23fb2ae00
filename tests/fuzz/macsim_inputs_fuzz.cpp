// The virtual Mac's readers of outside input: its state file, disk names and
// sizes from command lines, and property lists of bundles that open launches.
// The first byte picks the reader; each must refuse bad input with a
// ToolError (or an empty result) and never crash.
#include "macsim/basics.h"
#include "macsim/plist_out.h"
#include "macsim/state.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::size_t walk(const macsim::Plist& value)
{
    std::size_t count = 1;
    if (const auto* array = macsim::asArray(&value)) {
        for (const auto& item : *array)
            count += walk(item);
    } else if (const auto* dictionary = macsim::asDictionary(&value)) {
        for (const auto& [key, item] : *dictionary)
            count += key.size() + walk(item);
    }
    return count;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 4) {
        case 0: {
            macsim::State state = macsim::decodeState(input);
            // Whatever decodes must encode and decode to the same thing.
            if (macsim::encodeState(macsim::decodeState(macsim::encodeState(state))) != macsim::encodeState(state))
                std::abort();
            break;
        }
        case 1: {
            macsim::DiskName name;
            if (macsim::parseDiskName(input, name) && (name.disk < 0 || name.slice < 0))
                std::abort();
            break;
        }
        case 2:
            macsim::parseSize(input);
            break;
        default:
            if (auto plist = macsim::parsePlist(input))
                walk(*plist);
            break;
        }
    } catch (const macsim::ToolError&) {
    }
    return 0;
}
