#pragma once

#include "platform/posix/file_descriptor.h"

#include <string>

namespace ferrolatch {

// An exclusive lock on "<record>.lock", held from construction to
// destruction, so that processes take turns with a record file. Fails with a
// PlatformError.
class RecordLock {
public:
    explicit RecordLock(const std::string& recordPath);

private:
    FileDescriptor m_descriptor;
};

}
