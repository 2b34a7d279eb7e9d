// The rule file, read whole before any rule is counted: by the plugin's
// evaluation and by blocklistctl check alike.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "rules/rule.h"
#include "ruleset.h"

namespace pst {

class boundedreader;

// The whole rule file, read before any rule is counted, so that the literals
// of every rule are found in one pass over the text. One buffer for all the
// lines and one for all the patterns: a separate allocation for each of
// 10,000 lines cost a small message more than its scoring.
struct rulefile {
    rulefile() = default;
    rulefile(const rulefile&) = delete;
    rulefile& operator=(const rulefile&) = delete;
    std::string text;                     // the file's bytes as read, never changed once cut
    std::vector<std::string_view> lines;  // into text, each through its newline
    // The text again, each rule's pattern followed by a NUL in it: the
    // library takes C strings, and the text stays as read (the compiled
    // form's hash covers it).
    std::string patterns;
    std::vector<ruleline> rules;  // the lines that are counted, in order, into patterns
    // Who owns the file, where it is a regular file: its compiled form is
    // trusted only as far as the file itself.
    bool ownerknown = false;
    uid_t owner = 0;
};

// Every line as it is in the file, each through its newline, however long.
// Exhausted memory is thrown.
void readrulelines(boundedreader& in, rulefile& f);

// The lines of text, which f keeps. Exhausted memory is thrown.
void takerulelines(rulefile& f, std::string text);

// Which rules a reading keeps: those the plugin counts without the debug
// marker, or every rule, weight 0 too (as in debug mode).
enum class weights { nonzero, all };

// The rules among the lines, their patterns cut in f.patterns. The text is
// not changed. Exhausted memory is thrown.
void parserules(weights kept, rulefile& f);

}  // namespace pst
