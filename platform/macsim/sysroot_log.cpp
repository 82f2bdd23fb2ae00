#include "platform/macsim/sysroot_log.h"

#include "platform/posix/atomic_write.h"
#include "platform/posix/file_descriptor.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace ferrolatch {

SysrootLog::SysrootLog(std::string sysroot, std::string process, Log& next)
    : m_file(logFile(sysroot)), m_process(std::move(process)), m_next(next)
{
}

void SysrootLog::write(const std::string& line)
{
    m_next.write(line);

    // "Dec 10 11:02:03 localhost ferrolatch-proof[123]: text", one line per
    // entry even when the text holds line breaks.
    char stamp[32] = {};
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    std::string entry = std::string(stamp) + " localhost " + m_process + "[" + std::to_string(getpid()) + "]: ";
    for (char c : line)
        entry += c == '\n' || c == '\r' ? ' ' : c;
    entry += '\n';

    // One append-mode write per entry, so processes logging at once never interleave within a line.
    FileDescriptor file(::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!file.isOpen())
        return; // logging never fails its caller
    writeAll(file.get(), std::span(reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size()));
}

}
