// The regular-expression library behind one small interface: the classic
// PCRE library, or PCRE2 where the classic one is not available. Nothing else
// knows which is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pst {

struct regexcode;  // a compiled pattern of the library in use
struct regexfreer {
    void operator()(regexcode* re) const noexcept;
};
using regexholder = std::unique_ptr<regexcode, regexfreer>;

// How a compiled pattern lets its search see the matcher's work.
enum class watch {
    none,
    // A callout at the start of the pattern (after the options only the
    // start may set, such as "(*UTF8)"): the search sees each start position
    // where the matcher runs.
    starts,
    // That, and the library's own callout before every item of the pattern:
    // between two of them the matcher scans the text at most once, so the
    // search sees its work inside one position too.
    items,
};

// Compiles with "." matching newlines and plain parentheses not capturing,
// case-sensitive, with the library's built-in ASCII tables, watched as asked.
// A callout does not change what compiles, what matches or what the
// library's match limit counts. Null when the pattern does not compile;
// exhausted memory ends the process.
regexholder compileregex(const char* pattern, watch how = watch::starts);

// Result codes, as the classic library numbers them: the other library's
// codes for the same conditions are translated.
constexpr int regexnomatch = -1;
constexpr int regexmatchlimit = -8;
constexpr int regexstopped = -9;  // a startwatch ended the search
constexpr int regexrecursionlimit = -21;
constexpr int regexnomemory = -6;

// Told of every start position where the library's own loop runs its
// matcher, before the matcher does any work there; positions its start
// optimisations pass over are not told. False ends the search with
// regexstopped.
class startwatch {
   public:
    virtual bool startat(size_t position) = 0;
    // Told at every item of a pattern compiled with watch::items, with the
    // position the matcher has reached in the text; false ends the search
    // with regexstopped.
    virtual bool initem(size_t position) = 0;

   protected:
    ~startwatch() = default;
};

// One search of one compiled pattern over one text: the library's own loop
// from a given offset under its default match limit, as the straightforward
// evaluation calls it, with, for the library whose matcher recurses on the C
// stack, the recursion limit.
class regexmatcher {
   public:
    // memory: what the matcher may use for its backtracking (the heap limit
    // of the library that keeps it on the heap).
    regexmatcher(const regexcode& re, size_t memory);
    // Not trivial with every library: one of them frees its match state here.
    ~regexmatcher();  // NOLINT(performance-trivially-destructible)
    regexmatcher(const regexmatcher&) = delete;
    regexmatcher& operator=(const regexmatcher&) = delete;

    // The library's result: >0 a match (its start and end in mstart, mend), 0
    // when the match set more groups than the 9 reported, else an error code.
    int exec(std::string_view text, size_t offset, unsigned long recursionlimit, startwatch* watch,
             size_t& mstart, size_t& mend);
    // One attempt at position alone, under the given match limit: how the
    // analysis' bound on the work at a position is checked.
    int tryat(std::string_view text, size_t position, uint64_t matchlimit, size_t& mstart,
              size_t& mend);

   private:
    struct state;
    const regexcode& re_;
    [[maybe_unused]] state* state_ = nullptr;  // what the heap-based library keeps between calls
};

// The pattern with the search's callout at its start: after the items of
// the form "(*NAME)" or "(*NAME=digits)" that a pattern may start with.
std::string watchedpattern(std::string_view pattern);
// The start callout's number; the library numbers its own callouts before
// the items 255.
constexpr int watchcallout = 254;
constexpr int itemcallout = 255;

// The library's default match limit: the calls of its matcher at one start
// position after which a search ends with regexmatchlimit.
uint64_t regexdefaultmatchlimit();

// Runs a resumable search: search(arg, recursionlimit) calls exec with that
// recursion limit and returns its final result, keeping its progress in arg.
// The classic library's matcher recurses on the C stack, about once per byte
// for patterns such as "(?:a|b)+": a search starts on the caller's stack with
// a limit that this stack holds, and one that reaches it goes on where it
// stopped on a stack of its own of about memory bytes, so that hostile mail
// ends a search with regexrecursionlimit, never the process.
//
// stack is where the calling thread's stack ends, read once per evaluation:
// the system calls that tell cost more than the search of a typical mail.
struct stackextent {
    uintptr_t low = 0;  // the lowest address the stack may grow to
    bool known = false;
    static stackextent ofthisthread();
};
int rundeep(size_t memory, const stackextent& stack,
            int (*search)(void* arg, unsigned long recursionlimit), void* arg);

// Why a pattern does not compile: the library's message and the offset it
// names. False when it compiles.
bool regexcompileerror(const char* pattern, std::string& message, int& offset);

// The library's name, for diagnostics of the build.
const char* regexlibrary();

// The library's name and version as it reports it at run time: what a
// pattern compiles to, and whether it compiles, may change with it.
std::string regexversion();

}  // namespace pst
