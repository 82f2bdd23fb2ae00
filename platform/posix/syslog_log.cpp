#include "platform/posix/syslog_log.h"

#include <syslog.h>

namespace ferrolatch {

SyslogLog::SyslogLog(std::string identity) : m_identity(std::move(identity))
{
    openlog(m_identity.c_str(), LOG_PID, LOG_USER);
}

SyslogLog::~SyslogLog() { closelog(); }

void SyslogLog::write(const std::string& line)
{
    // The line is data, never a format.
    syslog(LOG_NOTICE, "%s", line.c_str());
}

}
