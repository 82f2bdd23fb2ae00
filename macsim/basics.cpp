#include "macsim/basics.h"

#include "common/hex.h"

#include <openssl/rand.h>

#include <charconv>
#include <cctype>

namespace macsim {

void usageError()
{
    throw ToolError("macsim: unrecognised command line (macsim help lists the commands)");
}

std::string hexEncode(std::span<const std::uint8_t> bytes)
{
    return ferrolatch::hexString(bytes);
}

std::vector<std::uint8_t> hexDecode(std::string_view text)
{
    if (text.size() % 2)
        throw ToolError("macsim: corrupt hexadecimal field in the state");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t index = 0; index < text.size(); index += 2) {
        int high = ferrolatch::hexDigitValue(text[index]);
        int low = ferrolatch::hexDigitValue(text[index + 1]);
        if (high < 0 || low < 0)
            throw ToolError("macsim: corrupt hexadecimal field in the state");
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::vector<std::uint8_t> randomBytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    if (count && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1)
        throw ToolError("macsim: the random generator failed");
    return bytes;
}

std::string randomUUID()
{
    auto bytes = randomBytes(16);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
    std::string hex = hexEncode(bytes);
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-"
        + hex.substr(20);
}

std::uint64_t parseSize(std::string_view text)
{
    std::uint64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data())
        throw ToolError("macsim: invalid size: " + std::string(text));
    std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    unsigned shift = 0;
    if (unit.empty() || unit == "b" || unit == "B")
        shift = 0;
    else if (unit == "k" || unit == "K")
        shift = 10;
    else if (unit == "m" || unit == "M")
        shift = 20;
    else if (unit == "g" || unit == "G")
        shift = 30;
    else if (unit == "t" || unit == "T")
        shift = 40;
    else
        throw ToolError("macsim: invalid size: " + std::string(text));
    if (shift && number > (UINT64_MAX >> shift))
        throw ToolError("macsim: invalid size: " + std::string(text));
    return number << shift;
}

std::vector<std::string> splitWords(std::string_view text)
{
    std::vector<std::string> words;
    std::string current;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!current.empty())
                words.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        words.push_back(std::move(current));
    return words;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

namespace {

bool parseNumber(std::string_view text, int& number)
{
    if (text.empty() || text.size() > 6 || (text.size() > 1 && text[0] == '0'))
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

}

bool parseDiskName(std::string_view text, DiskName& name)
{
    if (startsWith(text, "/dev/r"))
        text.remove_prefix(6);
    else if (startsWith(text, "/dev/"))
        text.remove_prefix(5);
    if (!startsWith(text, "disk"))
        return false;
    text.remove_prefix(4);
    auto separator = text.find('s');
    DiskName parsed;
    if (!parseNumber(text.substr(0, separator), parsed.disk))
        return false;
    if (separator != std::string_view::npos && (!parseNumber(text.substr(separator + 1), parsed.slice) || parsed.slice == 0))
        return false;
    name = parsed;
    return true;
}

std::string diskName(int disk, int slice)
{
    std::string name = "disk" + std::to_string(disk);
    if (slice)
        name += "s" + std::to_string(slice);
    return name;
}

}
