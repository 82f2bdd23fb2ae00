#pragma once

#include "platform/macsim/entitlements.h"
#include "platform/paths.h"

#include <string>

namespace ferrolatch {

// The places of a sandboxed process: an application group's shared container
// only when the process's entitlements name the group, as the sandbox
// decides on a Mac; everything else as the inner paths give it.
class EntitledPaths final : public Paths {
public:
    EntitledPaths(Paths& inner, std::string entitlementsPath)
        : m_inner(inner), m_entitlements(std::move(entitlementsPath))
    {
    }

    std::string mainBundle() override { return m_inner.mainBundle(); }
    std::optional<std::string> bundleResource(std::string_view name, std::string_view type) override
    {
        return m_inner.bundleResource(name, type);
    }
    std::string applicationSupportDirectory() override { return m_inner.applicationSupportDirectory(); }
    std::string systemFile(std::string_view path) override { return m_inner.systemFile(path); }
    std::optional<std::string> groupContainer(std::string_view groupIdentifier) override
    {
        if (!entitlementsListApplicationGroup(m_entitlements, std::string(groupIdentifier)))
            return std::nullopt;
        return m_inner.groupContainer(groupIdentifier);
    }
    std::string temporaryDirectory() override { return m_inner.temporaryDirectory(); }

private:
    Paths& m_inner;
    std::string m_entitlements;
};

}
