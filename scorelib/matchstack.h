// The library's matcher recurses on the C stack, once or more per byte for
// patterns such as "(?:a|b)+": searches run on a stack of their own, with a
// recursion limit that this stack holds, so that hostile mail ends a search
// with an error instead of the process.
#pragma once

#include <functional>

namespace pst {

// Runs fn on a large stack and returns its result; fn gets the recursion
// limit for the matcher on that stack.
int withmatchstack(const std::function<int(unsigned long recursionlimit)>& fn);

}  // namespace pst
