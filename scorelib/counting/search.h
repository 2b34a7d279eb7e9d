// Counting one pattern's matches in one text within a bounded amount of the
// library's work. The library's match limit bounds the work at one start
// position only; a rule such as "free.*money" costs, at every "free", work in
// proportion to the rest of the text, so a message of "free free free ..."
// costs the square of its size. Every search here runs under a budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "counting/regexbackend.h"
#include "fastpath/shape.h"

namespace pst {

// The match of a search whose start lies after its end, or that does not end
// beyond the offset its search started from: "\K" inside a lookaround can do
// that, and counting on from where it ends would never finish. It ends the
// count like an error of the library.
constexpr int regexstuckmatch = -100;

// The work is counted in calls of the library's matcher, as its match limit
// counts them. Defaults are set when the library is built.
struct searchlimits {
    // Work at one start position that is never charged: the library's own
    // loop runs under this limit, so that a cheap search runs at its speed.
    uint64_t freework;
    // Work one search may be charged, and that it may always be charged
    // however much the message has spent before it.
    uint64_t search;
    uint64_t guaranteed;
    // Work all the searches of one message may be charged together.
    uint64_t message;
    // Memory for a deep search's backtracking, beyond the size of the text.
    size_t matchermemory;
    // From this size of text and this number of literals on, the literals of
    // all rules are found in one pass over the text, not one search each.
    size_t primedtext;
    size_t primedliterals;

    static searchlimits defaults();
};

// What one message's searches may still spend.
class workbudget {
   public:
    explicit workbudget(const searchlimits& limits) : limits_(limits), left_(limits.message) {}

    const searchlimits& limits() const { return limits_; }
    // What the next search may spend.
    uint64_t allowance() const;
    void spend(uint64_t work) { left_ = work > left_ ? 0 : left_ - work; }
    // Searches ended by the budget rather than by the library.
    int cuts() const { return cuts_; }
    void cut() { ++cuts_; }

   private:
    searchlimits limits_;
    uint64_t left_;
    int cuts_ = 0;
};

// What the analysis of a pattern of the analysed class tells its search.
struct searchplan {
    // Every byte of a match is one of these.
    byteset matchbytes;
    // With scans: the pattern's first unbounded repeat scans the run of
    // scanset from a start position plus scanoffset. The library's match
    // limit does not count the bytes its matcher scans without calling
    // itself (auto-possessified repeats such as the "[a-z]+" of
    // "[a-z]+ deal"), so where such a run is long, each start position is
    // charged it.
    bool scans = false;
    byteset scanset;
    size_t scanoffset = 0;
    // The longest run of scanset in the text: where it is short, nothing is
    // charged, and the library's own loop searches.
    uint64_t longestscan = 0;
    // When given: every match contains one of these literals, and no start
    // position can reach the library's match limit, so only the positions
    // from which a match can reach an occurrence (inside the same run of
    // matchbytes) are tried, and a search stops after the last occurrence.
    const std::vector<std::string>* required = nullptr;
};

// Counts non-empty, non-overlapping matches left to right, as the library's
// own loop from offset 0 finds them, adding to count; returns the result that
// ended the count: regexnomatch, 0 when a match set more groups than the 9
// reported, regexstuckmatch, or an error code of the library. A search that
// spends its budget ends with regexmatchlimit, the matches before it counted.
int searchcount(const regexcode& re, const char* pattern, std::string_view text, workbudget& budget,
                int& count, const searchplan* plan = nullptr);

}  // namespace pst
