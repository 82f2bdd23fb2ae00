#include "crypto/pretty_json.h"

#include "common/errors.h"
#include "common/hex.h"
#include "common/utf8.h"

#include <cmath>
#include <cstdint>
#include <string_view>

namespace ferrolatch {

namespace {

// How the Mac reports a value its JSON writer cannot represent.
PlatformError invalidValue(const std::string& reason)
{
    return PlatformError("NSCocoaErrorDomain", 4866,
                         "The data couldn’t be written because it isn’t in the correct format: " + reason + ".");
}

void writeString(std::string& out, std::string_view text)
{
    if (!isValidUTF8(text))
        throw invalidValue("a string is not valid UTF-8");
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out.append(hexDigitsOf(static_cast<std::uint8_t>(c)).data(), 2);
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void writeNumber(std::string& out, const nlohmann::json& value)
{
    if (value.is_number_integer() || value.is_number_unsigned()) {
        out += value.dump();
        return;
    }
    double number = value.get<double>();
    if (!std::isfinite(number))
        throw invalidValue("a number is not finite");
    // Whole numbers print without a fraction, as the Mac prints them.
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    if (number == std::floor(number) && std::fabs(number) <= exactLimit) {
        out += std::to_string(static_cast<std::int64_t>(number));
        return;
    }
    out += value.dump();
}

void writeIndent(std::string& out, std::size_t depth)
{
    out.append(depth * 2, ' ');
}

void writeValue(std::string& out, const nlohmann::json& value, std::size_t depth)
{
    switch (value.type()) {
    case nlohmann::json::value_t::object: {
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first)
                out += ",\n";
            first = false;
            writeIndent(out, depth + 1);
            writeString(out, key);
            out += " : ";
            writeValue(out, member, depth + 1);
        }
        out += '\n';
        writeIndent(out, depth);
        out += '}';
        break;
    }
    case nlohmann::json::value_t::array: {
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out += ",\n";
            first = false;
            writeIndent(out, depth + 1);
            writeValue(out, element, depth + 1);
        }
        out += '\n';
        writeIndent(out, depth);
        out += ']';
        break;
    }
    case nlohmann::json::value_t::string:
        writeString(out, value.get_ref<const std::string&>());
        break;
    case nlohmann::json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case nlohmann::json::value_t::null:
        out += "null";
        break;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
        writeNumber(out, value);
        break;
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
        throw invalidValue("binary data has no JSON form");
    }
}

}

std::string encodePrettyJSON(const nlohmann::json& value)
{
    std::string out;
    writeValue(out, value, 0);
    return out;
}

}
