// Names within a path, worked out one way for every caller.
#pragma once

#include <string>
#include <string_view>

namespace pst {

// The directory that holds path: "." for a bare name, "/" for a name
// directly under the root.
inline std::string parentdirectory(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

// The last name of path.
inline std::string_view basename(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace pst
