// SHA-256 receipts as a user hands them to restore-drive: split into lines,
// each line parsed or refused with one of its messages.
#include "commands/receipt.h"
#include "common/errors.h"

#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ferrolatch;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    try {
        lines = receiptLines(text);
    } catch (const PlatformError&) {
        return 0; // not UTF-8
    }
    std::size_t number = 0;
    for (const std::string& line : lines) {
        // Lines are never empty and hold no line feed that stands alone.
        if (line.empty())
            std::abort();
        try {
            ReceiptLine entry = parseReceiptLine(line, ++number);
            if (entry.digest.size() != 64 || entry.path.empty() || entry.path.find('\0') != std::string::npos)
                std::abort();
            for (char c : entry.digest)
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                    std::abort();
            if (line.substr(64, 4) != " *./" || line.substr(68) != entry.path)
                std::abort();
        } catch (const ProofError& error) {
            std::string_view message = error.what();
            if (!message.starts_with("malformed SHA-256 receipt line ")
                && !message.starts_with("unsafe SHA-256 receipt path on line "))
                std::abort();
        }
    }
    return 0;
}
