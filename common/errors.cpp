#include "common/errors.h"

#include <cstring>

namespace ferrolatch {

PlatformError PlatformError::fromErrno(int number, const std::string& operation)
{
    std::string description = operation.empty() ? std::string(std::strerror(number))
                                                : operation + ": " + std::strerror(number);
    return PlatformError(posixErrorDomain, number, description);
}

}
