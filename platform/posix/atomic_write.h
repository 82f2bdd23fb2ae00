#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ferrolatch {

// Writes all bytes to fd, retrying after interruptions: 0 or the errno.
int writeAll(int fd, std::span<const std::uint8_t> bytes);

enum class Placement { Replace, KeepExisting };

// Writes bytes to a new temporary file beside path (created exclusively with
// mode, narrowed by the umask), flushes it, and moves it to path in one step,
// so readers see the old bytes or the new, never a mixture. KeepExisting
// fails with EEXIST when anything is at path. Returns 0 or the errno of the
// step that failed; the temporary file never remains.
int writeThroughTemporary(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                          Placement placement = Placement::Replace);
int writeThroughTemporary(const std::string& path, std::string_view bytes, mode_t mode,
                          Placement placement = Placement::Replace);

}
