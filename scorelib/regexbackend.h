// The regular-expression library behind one small interface: the classic
// PCRE library, or PCRE2 where the classic one is not available. Nothing else
// knows which is in use.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace pst {

struct regexcode;  // a compiled pattern of the library in use
struct regexfreer {
    void operator()(regexcode* re) const noexcept;
};
using regexholder = std::unique_ptr<regexcode, regexfreer>;

// Compiles with "." matching newlines and plain parentheses not capturing,
// case-sensitive, with the library's built-in ASCII tables. Null when the
// pattern does not compile; exhausted memory ends the process.
regexholder compileregex(const char* pattern);

// Result codes, as the classic library numbers them: the other library's
// codes for the same conditions are translated.
constexpr int regexnomatch = -1;
constexpr int regexmatchlimit = -8;
constexpr int regexrecursionlimit = -21;
constexpr int regexnomemory = -6;

// Counts non-empty, non-overlapping matches from start on, adding to count and
// moving start past each; returns the result that ended the loop: no match,
// 0 when a match set more groups than the 9 reported, or an error code.
int countregex(const regexcode& re, std::string_view text, int& count, int& start);

// Why a pattern does not compile: the library's message and the offset it
// names. False when it compiles.
bool regexcompileerror(const char* pattern, std::string& message, int& offset);

// The library's name, for diagnostics of the build.
const char* regexlibrary();

}  // namespace pst
