// A rule's pattern as the multi-pattern prefilter sees it: a plain regular
// language that holds every non-empty text the pattern can match, written
// for a matcher that knows only bytes, classes, groups, alternation and
// repeats, so that no difference of flags, assertions or character tables
// between two regular-expression engines can make it miss a match. And how
// long a text may be for the library's search of the pattern to stay far
// within its limits at every start position: where the prefilter finds no
// match in such a text, the search would count 0 and report nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pst {

struct prefilterpattern {
    // False where the pattern holds something read here only roughly
    // (back-references, recursion, verbs, "\K", extended mode, ...), where
    // it could match the empty text's language (so it would be flagged in
    // every text), or where no text is short enough for its search to be
    // certainly quiet. Such a pattern is always searched.
    bool usable = false;
    std::string language;  // the superset, in the prefilter's syntax
    // The longest text in which a search of the pattern that finds no match
    // certainly ends without reaching a limit of the library.
    uint64_t quietupto = 0;
};

prefilterpattern prefilterfor(std::string_view pattern);

// The most calls of the library's matcher at one start position that the
// quiet bound allows: a hundredth of its default match limit.
constexpr uint64_t quietcalls = 100'000;
// The deepest nesting of the matcher's calls it allows.
constexpr uint64_t quietdepth = 5'000;

}  // namespace pst
