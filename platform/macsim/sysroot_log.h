#pragma once

#include "platform/log.h"

#include <string>

namespace ferrolatch {

// The virtual Mac's system log: each line is appended to the sysroot's
// private/var/log/system.log, where tests read it, and handed on to the
// host's log as well.
class SysrootLog final : public Log {
public:
    SysrootLog(std::string sysroot, std::string process, Log& next);

    void write(const std::string& line) override;

    static std::string logFile(const std::string& sysroot) { return sysroot + "/private/var/log/system.log"; }

private:
    std::string m_file;
    std::string m_process;
    Log& m_next;
};

}
