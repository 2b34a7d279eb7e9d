#include <cctype>
#include <string>
#include <string_view>

#include "counting/regexbackend.h"

namespace pst {

namespace {

// "(*UTF8)", "(*CRLF)", "(*LIMIT_MATCH=1000)": the settings that are read
// only at the very start of a pattern, so the callout goes after them.
size_t startsetting(std::string_view p) {
    if (!p.starts_with("(*")) return 0;
    size_t i = 2;
    while (i < p.size() && (std::isupper(static_cast<unsigned char>(p[i])) || p[i] == '_' ||
                            std::isdigit(static_cast<unsigned char>(p[i])) || p[i] == '='))
        ++i;
    return i > 2 && i < p.size() && p[i] == ')' ? i + 1 : 0;
}

}  // namespace

std::string watchedpattern(std::string_view pattern) {
    size_t at = 0;
    while (const size_t n = startsetting(pattern.substr(at))) at += n;
    std::string watched(pattern.substr(0, at));
    watched += "(?C" + std::to_string(watchcallout) + ")";
    watched += pattern.substr(at);
    return watched;
}

}  // namespace pst
