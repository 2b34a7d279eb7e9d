// "blocklistctl check": reads a rule file as the plugin does and reports what
// an administrator should know about each line.
#pragma once

#include <cstdio>

namespace pst {

// Writes one finding a line as "FILE:LINE: error|warning|note: text" and a
// summary to out; returns 0 (clean), 1 (warnings only) or 2 (errors, or the
// file cannot be read).
int checkrules(const char* path, FILE* out);

}  // namespace pst
