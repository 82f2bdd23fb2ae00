// The recovery password's characters, as the card groups and confirms them.
#include "commands/recovery_key.h"
#include "common/errors.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ferrolatch;
    std::span<const std::uint8_t> bytes(data, size);
    auto boundaries = graphemeBoundaries(bytes);
    SecretBytes password = SecretBytes::copyOf(bytes);

    if (!boundaries) {
        // Malformed text is refused by both, never grouped.
        try {
            groupedRecoveryKey(password);
            std::abort();
        } catch (const ProofError&) {
        }
        return 0;
    }
    // Boundaries start at 0, rise strictly, end at the length and never split a code point.
    if (boundaries->front() != 0 || boundaries->back() != size)
        std::abort();
    for (std::size_t i = 1; i < boundaries->size(); ++i) {
        std::size_t at = (*boundaries)[i];
        if (at <= (*boundaries)[i - 1] || (at < size && (data[at] & 0xC0) == 0x80))
            std::abort();
    }
    std::size_t characters = boundaries->size() - 1;
    if (characters == 0)
        return 0;

    // Grouping inserts exactly one space after every fourth character, nothing else.
    SecretBytes grouped = groupedRecoveryKey(password);
    std::size_t groups = (characters + 3) / 4;
    if (grouped.size() != size + groups - 1)
        std::abort();
    std::size_t read = 0;
    for (std::size_t group = 0; group < groups; ++group) {
        if (group > 0 && grouped.data()[read++] != ' ')
            std::abort();
        std::size_t from = (*boundaries)[group * 4];
        std::size_t to = (*boundaries)[std::min(group * 4 + 4, characters)];
        for (std::size_t at = from; at < to; ++at)
            if (grouped.data()[read++] != data[at])
                std::abort();
    }

    // The code is the text's tail from the eighth-last character on.
    if (characters >= 8) {
        SecretBytes code = recoveryConfirmationCode(password);
        if (!code.equals(bytes.subspan((*boundaries)[characters - 8])))
            std::abort();
    }
    return 0;
}
