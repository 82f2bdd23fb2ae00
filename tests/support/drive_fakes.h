#pragma once

#include "disk/apfs_inventory.h"
#include "common/errors.h"
#include "platform/tool_runner.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace ferrolatch::drive_testing {

// Expects tool runs in a fixed order and answers each from its script; the
// same argument vector may answer differently each time, as the inventory does
// before and after a change.
class ScriptedTools final : public ToolRunner {
public:
    struct Step {
        std::vector<std::string> arguments;
        ToolOutcome outcome;
    };
    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
        std::optional<std::string> standardInput;
    };

    void expect(std::vector<std::string> arguments, std::string standardOutput = "")
    {
        m_steps.push_back({std::move(arguments), {0, std::move(standardOutput), ""}});
    }
    void expectFailure(std::vector<std::string> arguments, std::string standardError)
    {
        m_steps.push_back({std::move(arguments), {1, "", std::move(standardError)}});
    }

    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override
    {
        std::optional<std::string> input;
        if (standardInput)
            input = std::string(standardInput->bytes().begin(), standardInput->bytes().end());
        calls.push_back({executable, arguments, input});
        if (m_steps.empty()) {
            ADD_FAILURE() << "unexpected tool run: " << joined(arguments);
            return {1, "", "unexpected"};
        }
        Step step = std::move(m_steps.front());
        m_steps.pop_front();
        EXPECT_EQ(joined(arguments), joined(step.arguments));
        return step.outcome;
    }

    bool finished() const { return m_steps.empty(); }
    std::vector<Call> calls;

    static std::string joined(const std::vector<std::string>& words)
    {
        std::string text;
        for (const std::string& word : words)
            text += (text.empty() ? "" : " ") + word;
        return text;
    }

private:
    std::deque<Step> m_steps;
};

inline std::string plistDocument(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

inline std::string flag(bool value) { return value ? "<true/>" : "<false/>"; }

// "diskutil apfs list -plist" output for one container holding these volumes.
inline std::string inventory(const std::string& container, const std::vector<APFSVolume>& volumes)
{
    std::string rows;
    for (const APFSVolume& volume : volumes)
        rows += "<dict><key>DeviceIdentifier</key><string>" + volume.device + "</string><key>APFSVolumeUUID</key><string>"
            + volume.uuid + "</string><key>Name</key><string>" + volume.name + "</string><key>Encryption</key>"
            + flag(volume.encrypted) + "<key>Locked</key>" + flag(volume.locked) + "</dict>";
    return plistDocument("<dict><key>Containers</key><array><dict><key>ContainerReference</key><string>" + container
                         + "</string><key>Volumes</key><array>" + rows + "</array></dict></array></dict>");
}

// "diskutil info -plist" output for a volume; empty: not mounted.
inline std::string volumeInfo(const std::string& mountPoint)
{
    return plistDocument("<dict><key>MountPoint</key><string>" + mountPoint + "</string></dict>");
}

inline const std::vector<std::string> listArguments = {"apfs", "list", "-plist"};

}
