#include "common/path_text.h"

#include <vector>

namespace ferrolatch {

namespace {

std::string_view withoutTrailingSlashes(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path;
}

}

std::string lastPathComponent(std::string_view path)
{
    path = withoutTrailingSlashes(path);
    if (path == "/")
        return "/"; // as the Mac reads the root
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parentDirectory(std::string_view path)
{
    path = withoutTrailingSlashes(path);
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string lexicallyNormalizedPath(std::string_view absolutePath)
{
    std::vector<std::string_view> components;
    std::string_view rest = absolutePath;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            if (!components.empty())
                components.pop_back();
            continue;
        }
        components.push_back(component);
    }

    std::string normalized;
    for (std::string_view component : components) {
        normalized += '/';
        normalized += component;
    }
    return normalized.empty() ? "/" : normalized;
}

}
