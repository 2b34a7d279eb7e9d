// A rule's pattern as the multi-pattern prefilter sees it: a few strings of
// which every match of the pattern holds one, read from the pattern as the
// library reads it (its assertions, lookarounds and options only make that
// a larger set of texts), and written as plain bytes, so that no difference
// of flags, assertions or character tables between two regular-expression
// engines can make the prefilter miss a match. And how long a text may be
// for the library's search of the pattern to stay far within its limits at
// every start position: where none of the strings occurs in such a text,
// the search would count 0 and report nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pst {

struct prefilterpattern {
    // False where the pattern holds something not read here (back-
    // references, recursion, verbs, "\K", extended mode, ...), where no few
    // strings of three bytes or more are in every match (the prefilter would
    // flag it in most texts), or where no text is short enough for its
    // search to be certainly quiet. Such a pattern is always searched.
    bool usable = false;
    std::vector<std::string> strings;
    // The longest text in which a search of the pattern that finds no match
    // certainly ends without reaching a limit of the library.
    uint64_t quietupto = 0;
};

prefilterpattern prefilterfor(std::string_view pattern);

// The most strings a pattern may have.
constexpr uint32_t prefilterstrings = 256;

// The most calls of the library's matcher at one start position that the
// quiet bound allows: a tenth of its default match limit, for a count that
// already takes every alternative, group and length given back as a call.
constexpr uint64_t quietcalls = 1'000'000;

}  // namespace pst
