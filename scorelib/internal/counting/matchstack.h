// The classic library's matcher recurses on the C stack: the recursion limit
// that a stack holds, and a stack of its own for searches too deep for the
// caller's.
#pragma once

#include <cstddef>

namespace pst {

// The recursion limit for a stack of size bytes.
unsigned long recursionlimitfor(size_t size);

}  // namespace pst
