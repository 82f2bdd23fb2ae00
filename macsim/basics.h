#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace macsim {

// A refusal of a stand-in or of the control tool: one line on stderr and this
// exit status, worded the way the real tool words it.
class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int status = 1) : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

// The control tool's refusal of a command line it does not know.
[[noreturn]] void usageError();

std::string hexEncode(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> hexDecode(std::string_view text); // throws ToolError on bad input
std::vector<std::uint8_t> randomBytes(std::size_t count);
std::string randomUUID(); // upper case 8-4-4-4-12, version 4

// "256m", "2g", "512k", "1t" (binary units, either case) or a plain byte count.
std::uint64_t parseSize(std::string_view text); // throws ToolError
std::vector<std::string> splitWords(std::string_view text);
bool startsWith(std::string_view text, std::string_view prefix);

// "disk4" -> 4, "disk4s2" -> {4, 2}; "/dev/disk4" and "/dev/rdisk4" are accepted.
struct DiskName {
    int disk = -1;
    int slice = 0; // 0 for a whole disk
};
bool parseDiskName(std::string_view text, DiskName& name);
std::string diskName(int disk, int slice = 0);

}
