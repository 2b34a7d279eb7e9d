// "blocklistctl stats": which rules still catch mail, from the hit statistics.
#pragma once

#include <cstdio>
#include <vector>

namespace pst {

// The statistics files of several servers are merged: the latest hit of each
// pattern over all of them. staledays < 0: no stale listing. Returns 0, or 66
// when a file cannot be read or does not exist.
int reportstats(const char* rulefile, const std::vector<const char*>& statsfiles, long staledays,
                bool json, FILE* out);

}  // namespace pst
