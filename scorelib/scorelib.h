// The scoring library: turns a message file and a rule file into a score.
#pragma once

// Scores the message at msgpath against the rule file at rulepath. debug is 0
// (quiet) or 2 (comment lines on standard output, weight-0 rules evaluated).
// When statspath names an existing file, every rule that hits has the time of
// its latest hit recorded there; nullptr switches recording off.
// Exhausted memory is reported on standard error and ends the process with
// status 1.
int evalscore(const char* rulepath, const char* msgpath, int debug,
              const char* statspath = nullptr);

// Non-empty, non-overlapping matches of pattern in text, left to right.
// Diagnostics go to standard output when debug is non-zero, else to
// standard error.
int countmatches(const char* text, const char* pattern, int debug);

// Heap copies folded to lower (upper) case; a backslash and the byte after it
// are copied unchanged. The caller frees the result with free().
char* lcstrdup(const char* s);
char* ucstrdup(const char* s);

// Index of the first byte c in s, or -1.
int chrpos(const char* s, int c);
