#pragma once

#include "platform/tool_runner.h"

#include <string>
#include <vector>

namespace ferrolatch {

// Child processes over posix_spawn: no shell, no search path, stdout and stderr
// drained together so a chatty child never blocks.
//
// With a sysroot, the mapped paths (the fixed system tool paths) are started
// from inside it, which is how the virtual Mac supplies its stand-ins; every
// other path is used as given.
class PosixToolRunner final : public ToolRunner {
public:
    PosixToolRunner() = default;
    PosixToolRunner(std::string sysroot, std::vector<std::string> mappedPaths);
    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override;

private:
    std::string resolvedPath(const std::string& executable) const;

    std::string m_sysroot;
    std::vector<std::string> m_mappedPaths;
};

}
