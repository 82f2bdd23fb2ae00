#include "common/path_text.h"

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

}
