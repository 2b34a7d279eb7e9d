// When the fast path may leave a search out, or part of it: the whole policy
// and its constants in one place. Whatever it decides, the count, the
// diagnostics and the budget spent are those of the straightforward search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fastpath/shape.h"

namespace pst {

class textindex;

// A pattern without metacharacters this short always compiles, in either
// library, far within its pattern size limit: its compile can only fail for
// want of memory, so it is not compiled at all.
constexpr size_t shortliteral = 1000;

// Patterns up to this length are analysed before they are compiled; the
// analysis of a pattern of hundreds of kilobytes that does not compile would
// cost more than the library's refusal.
constexpr size_t analysedbeforecompile = 4096;

// From this size of text and this number of literals on, the literals of all
// rules are found in one pass over the text rather than one search each:
// below them the text's table of byte triples and a substring search per
// literal cost less than building the automaton (measured in the benchmark).
constexpr size_t primedtextsize = size_t{1} << 20;
constexpr size_t primedliteralcount = 500;

// An upper bound on the matcher's calls at one start position of the text
// (saturating), for a simple pattern: twice the calls its items can make, and
// the first one, for the calls a group's end or an alternative's retry may
// add. A test checks the bound against the library's own count on hostile
// texts.
uint64_t workbound(const patternshape& shape, textindex& text);

// The most matcher calls at one start position of a pattern whose search
// may leave out the positions that cannot reach a literal it requires.
constexpr uint64_t skippablework = 1000;

// What one unit of workbound costs at most, in nanoseconds, with a margin:
// over the benchmark corpora and generated rules on generated mail, no
// search of a simple pattern longer than 0.1 ms cost more than 13.
constexpr uint64_t nanosecondsperunit = 50;

// What a unit of textindex::work costs at most, in nanoseconds: the run
// scan reads a byte in 0.6 here.
constexpr uint64_t nanosecondsperworkunit = 1;

// The library's match limit counts the matcher's calls at one start
// position, not the bytes a repeat scans between two of them: at one
// position ".*[^@]+@bank" makes one call per byte that ".*" gives back, and
// each scans the rest of the text. A search whose work at one position may
// cost more than this is watched at every item of its pattern, not only
// where a position starts. Four positions may pass between two readings of
// the clock, so four slices and a tick of the clock stay within 50 ms.
constexpr uint64_t positionslice = 10'000'000;
// What the work at one position costs at most, for that decision: a call of
// the matcher as the calibration's worst (13 ns), a byte that a repeat
// scans inline a few times less. The item callouts cost twice the search
// on rules that make many calls, so a margin here costs more than it
// saves.
constexpr uint64_t nanosecondspercall = 13;
constexpr uint64_t nanosecondsperbyte = 2;
// A scan no longer than this costs about as much as a call of the matcher.
constexpr uint64_t shortscan = 64;

// Whether the search must be watched inside its positions: a pattern that
// may scan inside a give-back (scansinsidegiveback) over runs of the text
// longer than a short scan, where it is outside the analysed class or the
// analysis does not bound its work at one position within a slice. Without such scans the work at a
// position is the matcher's calls, which the library's match limit bounds.
bool watchitems(std::string_view pattern, const patternshape& shape, textindex& text);

// How a pattern is searched: by the library's loop alone, only from the
// positions that can reach a literal every match holds, or not at all (it
// certainly counts 0).
enum class route { library, restricted, none };

route chooseroute(const patternshape& shape, textindex& text, bool straightforward);

// Whether a search of the pattern may be left out when none of its required
// literals occurs in a text, and up to which longest run of the bytes of
// each of runsets(shape) in that text (UINT64_MAX: any): what a compiled
// rule set records, so that such a rule needs neither its analysis nor its
// compilation. False when it may never be left out.
bool skippablerun(const patternshape& shape, uint64_t& run);

// What a compiled rule set says of one rule: its search may be left out in
// a text that holds none of its literals and no run of the bytes of one of
// its run sets longer than run (UINT64_MAX: the runs are not asked about).
class skipfacts {
   public:
    virtual ~skipfacts() = default;
    virtual uint64_t run() const = 0;
    virtual uint32_t literals() const = 0;
    virtual std::string_view literal(uint32_t i) const = 0;
    virtual uint32_t runsets() const = 0;
    virtual const byteset& runset(uint32_t i) const = 0;
};

}  // namespace pst
