// Every occurrence of many literals in one pass over a text (Aho-Corasick
// over a dense table of the bytes the literals use).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pst {

struct literalfacts {
    size_t first = 0;  // start of the first occurrence
    size_t last = 0;   // start of the last occurrence
    int count = 0;     // non-overlapping occurrences from left to right, as the
                       // library counts a pattern without metacharacters
};

struct stringhash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using literalmap = std::unordered_map<std::string, literalfacts, stringhash, std::equal_to<>>;

// The facts of every non-empty literal given; count 0 for one that does not
// occur. Throws
// std::bad_alloc when its tables do not fit; the caller then searches
// literal by literal.
literalmap scanliterals(std::string_view text, const std::vector<std::string>& literals);

}  // namespace pst
