// What the scoring library can tell about a pattern without running it, so
// that a search which cannot succeed is not run at all.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fastpath/patternsyntax.h"

namespace pst {

// True when the pattern has no metacharacter: it matches exactly its bytes.
bool isliteral(std::string_view pattern);

// A pattern of the analysed class: literals, escapes, classes, ".", "^", "$",
// "\b", "\B", quantifiers on single items, and alternation inside groups that
// are not repeated. Anything else (back-references, lookaround, options,
// recursion, repeated groups, ...) is outside the class.
struct patternshape {
    bool simple = false;
    // Every match contains one of these (empty when none is known).
    std::vector<std::string> required;
    // Every byte of every match is one of these.
    byteset matchbytes;
    // No match is longer (UINT64_MAX: unbounded).
    uint64_t longestmatch = UINT64_MAX;

    // The search tree, for a bound on the library's work per start position.
    struct node;
    std::shared_ptr<const node> root;
};

patternshape analyse(std::string_view pattern);

// True when a repeat that the library scans inline ("[^@]+", ".*") may run
// again each time a repeat before it, or a group around it, gives back a
// length: at one start position such a pattern may scan the text once for
// every byte given back, and the library's match limit does not count the
// scans. Read from the syntax of any pattern, so it errs on the side of
// true (repeats of disjoint bytes, as in "\w+@\w+", never give back).
// scans, if given, gets the bytes of the repeats that scan (a superset).
bool scansinsidegiveback(std::string_view pattern, byteset* scans = nullptr);

// True for a simple pattern that consumes nothing on every path (such as
// "", "^" or "\b"): with non-empty matches only, it never counts.
bool matchesonlyempty(const patternshape& shape);

class textindex;

// The matcher's calls its items can make at one start position of the text
// (saturating), for a simple pattern; UINT64_MAX for any other. The skip
// policy adds its allowance to this (workbound).
uint64_t countedcalls(const patternshape& shape, textindex& text);

// The same for any text in which no run of the bytes of one of runsets(shape)
// is longer than run: never less than countedcalls for such a text.
uint64_t countedcallsupto(const patternshape& shape, uint64_t run);

// The work at one start position of a simple pattern (false for another):
// the calls, as countedcalls, and the bytes that repeats scan inline
// between them (a repeat that the matcher runs without a call, such as
// "[^@]+" when an outer ".*" gives back one byte at a time, scans the rest
// of the text each time), both saturating.
bool positionwork(const patternshape& shape, textindex& text, uint64_t& calls, uint64_t& scanned);
// Their sum for any text whose runs are at most run bytes long.
uint64_t positionworkupto(const patternshape& shape, uint64_t run);

// The sets of bytes whose longest runs in a text countedcalls depends on.
std::vector<byteset> runsets(const patternshape& shape);

}  // namespace pst
