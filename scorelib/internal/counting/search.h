// Counting one pattern's matches in one text within a bounded amount of
// work. The library's match limit bounds the work at one start position
// only; a rule such as "free.*money" costs, at every "free", work in
// proportion to the rest of the text, so a message of "free free free ..."
// costs the square of its size, and a repeat that the library scans without
// counting it ("[^>]+" in "src=[^>]+>free") costs that with no limit at all.
//
// The work is measured as what it costs: the CPU time of the search. The
// search is the library's own loop, called exactly as the straightforward
// evaluation calls it; a callout at the pattern's start reads a cheap clock
// at every start position where the matcher runs, and the search ends when
// its CPU time reaches its allowance. The CPU clock decides every cut, so a
// search that waits for the processor on a busy machine is not cut for it.
//
// Inside one position the library's match limit counts calls, not the bytes
// a class repeat scans between two of them: where a repeat that scans may
// run again each time another gives back (".*[^@]+@bank"), and the analysis
// does not bound the position's work within a slice, the pattern also gets
// the library's callout before every item, and the clock is read inside the
// position too. So a search that finishes within its allowance gives
// exactly the straightforward count and diagnostics, and a search that is
// cut runs at most its allowance plus four slices and a tick of the clock
// (50 ms). Outside that bound: a position of calls alone, which the match
// limit ends after 10,000,000 of them (about 50 ms with the classic library,
// up to 190 ms with PCRE2), and a repeat of a large fixed count that fails
// part of the way, whose scan the item callouts do not see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "counting/regexbackend.h"
#include "fastpath/patternsyntax.h"

namespace pst {

// The match of a search whose start lies after its end, or that does not end
// beyond the offset its search started from: "\K" inside a lookaround can do
// that, and counting on from where it ends would never finish. It ends the
// count like an error of the library.
constexpr int regexstuckmatch = -100;

// The clocks a search's work is measured by, in nanoseconds.
class workclock {
   public:
    virtual ~workclock() = default;
    // A clock that never runs slower than the thread's CPU time and costs a
    // few nanoseconds to read: it is read at every start position. It ticks
    // every few milliseconds.
    virtual uint64_t cheap() = 0;
    // The same, to the nanosecond, for a search allowed fewer milliseconds
    // than the cheap clock's ticks resolve; it costs a little more.
    virtual uint64_t fine() = 0;
    // The thread's CPU time: it costs a system call, and is read only when
    // the cheap clock says that a search may have spent its allowance.
    virtual uint64_t cpu() = 0;
};

// The coarse monotonic clock and the thread's CPU clock.
workclock& systemclock();

struct searchlimits {
    // CPU time one search may take, and that it may always take however
    // much the message has spent before it.
    uint64_t search;
    uint64_t guaranteed;
    // CPU time the searches of one message may take together: once it is
    // spent, each search gets its guarantee only.
    uint64_t message;
    // Memory for a deep search's backtracking, beyond the size of the text.
    size_t matchermemory;
    // From this size of text and this number of literals on, the literals of
    // all rules are found in one pass over the text, not one search each.
    size_t primedtext;
    size_t primedliterals;
    // CPU time the searches may take together beyond the message's budget,
    // by their guarantees: after that each search gets nothing.
    uint64_t overdraft;
    // Null for systemclock(); the tests give one that counts.
    workclock* clock = nullptr;

    static searchlimits defaults();
};

// What one message's searches may still spend.
class workbudget {
   public:
    // Made on the thread that searches.
    explicit workbudget(const searchlimits& limits)
        : limits_(limits),
          clock_(limits.clock ? *limits.clock : systemclock()),
          left_(limits.message),
          stack_(stackextent::ofthisthread()) {}

    const searchlimits& limits() const { return limits_; }
    workclock& clock() const { return clock_; }
    // What the next search may spend.
    uint64_t allowance() const;
    void spend(uint64_t work);
    // True once the message's budget is spent.
    bool exhausted() const { return left_ == 0; }
    // A recent reading of this thread's CPU clock, which a search's charge
    // is bounded from: read again when the cheap clock has ticked since, so
    // about once every few milliseconds.
    uint64_t cpuseen();
    void sawcpu(uint64_t cpu) { cpuseen_ = cpu > cpuseen_ ? cpu : cpuseen_; }
    // Searches ended by the budget rather than by the library.
    int cuts() const { return cuts_; }
    void cut() { ++cuts_; }
    const stackextent& stack() const { return stack_; }

   private:
    searchlimits limits_;
    workclock& clock_;
    uint64_t left_;
    uint64_t overdrawn_ = 0;
    uint64_t cpuseen_ = 0, cpuseenat_ = 0;
    int cuts_ = 0;
    stackextent stack_;
};

// What the analysis of a pattern tells its search: every match contains one
// of the required literals and consists of matchbytes, and no start position
// can reach the library's match limit; so only the start positions from
// which a match can reach an occurrence (inside the same run of matchbytes,
// and within the longest match of it) are tried, and the search stops after
// the last occurrence.
// Without required literals, the plan may only say how the search is
// watched: not at all where its work, bounded from the pattern's analysis
// and the text, stays far within its allowance (the library's loop runs
// without a callout), or inside every position where the work of one
// position is not bounded within a slice of it. The pattern is compiled
// with the callouts the plan names.
struct searchplan {
    byteset matchbytes;
    // No match is longer: one that holds an occurrence starts at most this
    // far before the occurrence ends.
    uint64_t longestmatch = UINT64_MAX;
    const std::vector<std::string>* required = nullptr;
    watch how = watch::starts;
};

// Counts non-empty, non-overlapping matches left to right, as the library's
// own loop from offset 0 finds them, adding to count; returns the result that
// ended the count: regexnomatch, 0 when a match set more groups than the 9
// reported, regexstuckmatch, or an error code of the library. A search that
// spends its allowance ends with regexmatchlimit, the matches before it
// counted. spent, if given, receives the search's CPU time.
int searchcount(const regexcode& re, const char* pattern, std::string_view text, workbudget& budget,
                int& count, const searchplan* plan = nullptr, uint64_t* spent = nullptr);

}  // namespace pst
