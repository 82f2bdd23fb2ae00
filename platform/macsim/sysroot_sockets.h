#pragma once

#include "platform/posix/file_descriptor.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The virtual Mac's system services between processes: Disk Arbitration
// sessions, the APFS agent and the notification centers meet over Unix
// sockets under the sysroot's private/var/run/macsim. Both the product's
// adapters and the stand-in tools speak through these helpers, so the two
// sides agree on places and framing. Every wait blocks on the socket; nothing
// polls on a timer.
namespace ferrolatch::sysroot_sockets {

// One stream socket per Disk Arbitration session; one file per claimed disk.
std::string sessionDirectory(const std::string& sysroot);
std::string claimDirectory(const std::string& sysroot);
// One datagram socket per process that observes notifications.
std::string notificationDirectory(const std::string& sysroot);
// One stream socket per running APFSUserAgent.
std::string agentDirectory(const std::string& sysroot);
// The password prompts the APFS agent showed, one JSON line each.
std::string promptLog(const std::string& sysroot);

// How long a tool waits for a session's answer before taking it as consent,
// so that a hung client cannot hang the machine.
inline constexpr std::chrono::milliseconds answerTimeout {5000};

// Creates the directory (and its parents) when missing.
void makeDirectory(const std::string& path);

// Binds a fresh socket at path, replacing a leftover file. Throws
// std::system_error on failure.
FileDescriptor listenStream(const std::string& path);
FileDescriptor bindDatagram(const std::string& path);

// The socket files of a directory, sorted by name.
std::vector<std::string> socketsIn(const std::string& directory);

// A connection to the listener at path; none when nobody listens there any
// more (its process is gone), in which case the leftover file is removed.
std::optional<FileDescriptor> connectStream(const std::string& path);

// Blocks until fd can be read; false once wake becomes readable (the owner is
// stopping the listener) or waiting fails.
bool waitReadableUnlessWoken(int fd, int wake);

// One line (a line feed is added). False when the peer has gone.
bool sendLine(int fd, const std::string& line);

// Reads up to the next line feed, waiting at most timeout; none on timeout,
// end of stream or error. Bytes after the line feed are kept in pending.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout, std::string& pending);
// The same without a time limit (the peer is trusted to answer or hang up).
std::optional<std::string> readLine(int fd, std::string& pending);

// Sends one datagram to every socket of the directory; files nobody reads
// any more are removed. Returns how many received it.
int postToAll(const std::string& directory, const std::string& message);

// Whether a process with this id exists and has not exited.
bool processAlive(long pid);

}
