#pragma once

#include "platform/tool_runner.h"

#include <ostream>

namespace ferrolatch {

// The services a command may use, built once by main and handed down.
// Logic takes the few it needs; nothing reaches them any other way.
struct Platform {
    ToolRunner& tools;
    std::ostream& out; // the command's result lines
};

}
