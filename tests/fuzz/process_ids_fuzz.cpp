// pgrep's output, as the prompt suppression reads it.
#include "app/prompt_suppression.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view output(reinterpret_cast<const char*>(data), size);
    std::set<std::int32_t> ids = ferrolatch::parseProcessIDs(output);
    // Printing the ids the way pgrep does must read back as the same set.
    std::string printed;
    for (std::int32_t id : ids)
        printed += std::to_string(id) + "\n";
    if (ferrolatch::parseProcessIDs(printed) != ids)
        std::abort();
    return 0;
}
