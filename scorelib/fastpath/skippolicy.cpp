#include "fastpath/skippolicy.h"

#include <algorithm>

#include "counting/regexbackend.h"
#include "counting/search.h"
#include "fastpath/textindex.h"

namespace pst {

uint64_t workbound(const patternshape& shape, textindex& text) {
    const uint64_t calls = countedcalls(shape, text);
    if (calls == UINT64_MAX) return UINT64_MAX;
    return calls > (UINT64_MAX - 2) / 2 ? UINT64_MAX : 2 * calls + 2;
}

route chooseroute(const patternshape& shape, textindex& text, const searchlimits& limits,
                  bool straightforward) {
    if (!shape.simple) return route::library;
    if (straightforward || shape.required.empty()) return route::planned;
    // Positions are left out only where none of them can fail or be charged:
    // the work at each must stay within what a position gets free, so that a
    // search ends, and the budget is spent, at the same point on every path.
    const uint64_t free = std::min(limits.freework, regexdefaultmatchlimit());
    if (workbound(shape, text) > free) return route::planned;
    byteset scanset;
    size_t scanoffset = 0;
    if (leadingrepeat(shape, scanset, scanoffset) && text.longestrun(scanset) > free)
        return route::planned;
    for (const auto& literal : shape.required)
        if (text.contains(literal)) return route::restricted;
    // Certainly no match, no error and nothing charged.
    return route::none;
}

}  // namespace pst
