// "blocklistctl check": reads a rule file as the plugin does and reports what
// an administrator should know about each line.
#pragma once

#include <cstdio>

namespace pst {

// Writes one finding a line as "FILE:LINE[:COLUMN]: error|warning|note: text"
// and a summary to out, or all as one JSON document; path "-" is standard
// input. Returns 0 (clean), 1 (warnings only), 2 (errors) or 66 (the file
// cannot be read).
int checkrules(const char* path, bool json, FILE* out);

// The findings of one rule line, as "NAME: error|warning: text" lines to err;
// returns the number of errors.
int checkrule(const char* line, const char* name, FILE* err);

}  // namespace pst
