#pragma once

#include "common/errors.h"
#include "platform/preferences.h"
#include "platform/tool_runner.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ferrolatch::testing {

// Core Foundation preferences in memory: staged values until synchronize.
class MemoryPreferences final : public Preferences {
public:
    std::optional<PreferenceValue> copyValue(std::string_view key, std::string_view domain) override
    {
        calls.push_back("copy " + std::string(key));
        if (removed[std::string(domain)].contains(std::string(key)))
            return std::nullopt;
        for (auto* layer : {&staged, &stored}) {
            auto found = layer->find(std::string(domain));
            if (found != layer->end())
                if (auto value = found->second.find(key); value != found->second.end())
                    return value->second;
        }
        return std::nullopt;
    }
    void setValue(std::string_view key, const PreferenceValue& value, std::string_view domain) override
    {
        calls.push_back("set " + std::string(key));
        removed[std::string(domain)].erase(std::string(key));
        staged[std::string(domain)].insert_or_assign(std::string(key), value);
    }
    void removeValue(std::string_view key, std::string_view domain) override
    {
        calls.push_back("remove " + std::string(key));
        if (auto found = staged.find(std::string(domain)); found != staged.end())
            if (auto value = found->second.find(key); value != found->second.end())
                found->second.erase(value);
        removed[std::string(domain)].insert(std::string(key));
    }
    bool synchronize(std::string_view domain) override
    {
        calls.push_back("synchronize " + std::string(domain));
        if (!persists)
            return false;
        if (!forgetsWrites) {
            for (auto& [key, value] : staged[std::string(domain)])
                stored[std::string(domain)].insert_or_assign(key, value);
            for (const std::string& key : removed[std::string(domain)])
                if (auto found = stored[std::string(domain)].find(key); found != stored[std::string(domain)].end())
                    stored[std::string(domain)].erase(found);
        }
        staged.erase(std::string(domain));
        removed.erase(std::string(domain));
        return true;
    }

    std::map<std::string, PreferenceValue::Dictionary> staged;
    std::map<std::string, PreferenceValue::Dictionary> stored;
    std::map<std::string, std::set<std::string>> removed;
    bool persists = true;       // synchronize reports success
    bool forgetsWrites = false; // reports success but keeps nothing
    std::vector<std::string> calls;
};

// pgrep and killall from a script: pgrep answers from a queue (the last answer
// repeats), killall from one outcome.
class AgentTools final : public ToolRunner {
public:
    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
        bool hadStandardInput = false;
    };

    ToolOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                       const SecretBytes* standardInput) override
    {
        calls.push_back({executable, arguments, standardInput != nullptr});
        if (executable == "/usr/bin/killall")
            return killall;
        if (executable != "/usr/bin/pgrep")
            throw PlatformError::fromErrno(2, "spawn " + executable);
        if (pgrepLaunchFails)
            throw PlatformError::fromErrno(2, "spawn " + executable);
        if (pgrep.empty())
            return {1, "", ""};
        ToolOutcome outcome = pgrep.front();
        if (pgrep.size() > 1)
            pgrep.pop_front();
        return outcome;
    }

    // pgrep finding these processes (nothing found: exit 1 and no output, as pgrep does).
    void running(const std::string& ids) { pgrep.push_back(ids.empty() ? ToolOutcome {1, "", ""} : ToolOutcome {0, ids, ""}); }
    int count(const std::string& executable) const
    {
        int n = 0;
        for (const Call& call : calls)
            n += call.executable == executable ? 1 : 0;
        return n;
    }

    std::deque<ToolOutcome> pgrep;
    ToolOutcome killall {0, "", ""};
    bool pgrepLaunchFails = false;
    std::vector<Call> calls;
};

}
