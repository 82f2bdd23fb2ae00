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

std::string standardizedPath(std::string_view absolutePath)
{
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= absolutePath.size()) {
        std::size_t slash = absolutePath.find('/', start);
        std::size_t end = slash == std::string_view::npos ? absolutePath.size() : slash;
        std::string_view component = absolutePath.substr(start, end - start);
        if (component == "..") {
            if (!components.empty())
                components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    std::string path;
    for (std::string_view component : components)
        (path += '/') += component;
    return path.empty() ? "/" : path;
}

}
