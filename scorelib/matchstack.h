// The library's matcher recurses on the C stack, once or more per byte for
// patterns such as "(?:a|b)+". A search starts on the caller's stack with a
// recursion limit that this stack holds; one that reaches it goes on on a
// stack of its own, large enough for a 1 MB run, with the limit that stack
// holds, so that hostile mail ends a search with an error, never the process.
#pragma once

#include <functional>

namespace pst {

// The matcher's recursion limit for what is left of the calling thread's stack.
unsigned long recursionlimithere();

// Runs fn on a large stack and returns its result; fn gets the recursion
// limit for that stack.
int onlargestack(const std::function<int(unsigned long recursionlimit)>& fn);

}  // namespace pst
