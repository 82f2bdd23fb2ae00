#pragma once

#include "platform/log.h"

#include <string>

namespace ferrolatch {

// The system log over syslog(3), one message per line.
class SyslogLog final : public Log {
public:
    explicit SyslogLog(std::string identity);
    ~SyslogLog() override;
    SyslogLog(const SyslogLog&) = delete;
    SyslogLog& operator=(const SyslogLog&) = delete;

    void write(const std::string& line) override;

private:
    std::string m_identity; // openlog keeps the pointer, so the text must outlive it
};

}
