// What blocklistctl check can tell about a pattern without running it:
// traps of the rule syntax and shapes that make a search slow on hostile
// mail. It reads the syntax as the fast path's analysis does.
#pragma once

#include <optional>
#include <string>

namespace pst {

// The first capital letter outside an escape, or 0.
char capitaloutsideescape(const std::string& p);

// The first capital letter outside an escape that the library matches with
// regard to case, or 0: in a folded text such a letter never matches. An
// option setting such as "(?i)" or "(?-i)" holds to the end of the group it
// stands in, "(?i:...)" within its group.
char casedcapital(const std::string& p);

// Whether p turns on matching without regard to case anywhere.
bool setscaseless(const std::string& p);

// p without matching without regard to case: each letter it so matches
// written in lower case, and the "i" taken out of its option settings, so
// that in a text folded to lower case it matches exactly what p matches
// (but for a capital right after a backslash, which folding keeps).
// Nothing when p writes such a letter in a way lower case would change
// otherwise (a byte code such as "\x41", a range such as "[A-z]", a
// property, "[:upper:]"), or when the result does not compile.
std::optional<std::string> foldedpattern(const std::string& p);

// A group with an unbounded repeat inside that is itself repeated without
// bound, such as "(a+)+": the matcher tries every way of splitting a run.
bool nestedunboundedrepeat(const std::string& p);

// An unbounded repeat of a broad class (".", "\w", "[a-z]", ...) with more
// pattern after it, such as "free.*money" or "[a-z]+ deal": at every start
// position the repeat runs to the end of its run and the rest is tried, so
// the work grows with the square of a run an attacker can make as long as
// the message.
bool quadraticrepeat(const std::string& p);

// A repeat that the library scans inline after one that gives back, such as
// ".*[^@]+@bank": at a single start position the search may scan the rest of
// the message once for every byte given back. Read with the fast path's
// analysis, for the patterns of its class.
bool squareatoneposition(const std::string& p);

// "\K" inside a lookaround: the match's start can lie after its end.
bool resetinlookaround(const std::string& p);

// "^" or "$" outside a class and an escape, in a pattern that never sets
// (?m): they match only at the ends of the whole scan text.
bool wholetextanchor(const std::string& p);

}  // namespace pst
