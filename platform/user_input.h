#pragma once

#include <istream>
#include <sstream>

namespace ferrolatch {

// The input of a Platform built without a terminal: always at its end, so a
// flow that waits for the user ends as if input had been closed.
inline std::istream& noInput()
{
    static std::istringstream empty;
    return empty;
}

}
