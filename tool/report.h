// "blocklistctl stats": which rules still catch mail, from the hit statistics.
#pragma once

#include <cstdio>

namespace pst {

// staledays < 0: no stale listing. Returns 0, or 2 when a file cannot be read.
int reportstats(const char* rulefile, const char* statsfile, long staledays, FILE* out);

}  // namespace pst
