#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace ferrolatch {

// The system log: one line per event. Lines are complete texts; their
// placeholders are filled in before they reach the port.
class Log {
public:
    virtual ~Log() = default;
    virtual void write(const std::string& line) = 0;
};

// Fills the "%@" and "%ld" placeholders of a log format in order. A placeholder
// without a value is left as it is, so a short argument list is visible in the log.
inline std::string formatLogLine(std::string_view format, std::initializer_list<std::string_view> values)
{
    std::string line;
    auto next = values.begin();
    std::size_t index = 0;
    while (index < format.size()) {
        std::size_t length = format.substr(index, 2) == "%@" ? 2 : format.substr(index, 3) == "%ld" ? 3 : 0;
        if (length != 0 && next != values.end()) {
            line += *next++;
            index += length;
        } else {
            line += format[index++];
        }
    }
    return line;
}

}
