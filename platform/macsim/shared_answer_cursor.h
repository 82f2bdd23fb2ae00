#pragma once

#include "platform/headless/scripted_ui.h"

#include <string>
#include <string_view>

namespace ferrolatch {

// The place in a shared automation script, kept in a file of the sysroot
// named by the script's SHA-256, so that every process of the virtual Mac
// running that script takes its answers from one sequence. The file is
// locked for each take.
class SharedAnswerCursor final : public AnswerCursor {
public:
    SharedAnswerCursor(const std::string& sysroot, std::string_view scriptText);
    std::size_t take() override;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}
