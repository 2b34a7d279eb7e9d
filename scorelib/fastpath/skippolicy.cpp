#include "fastpath/skippolicy.h"

#include "fastpath/textindex.h"

namespace pst {

uint64_t workbound(const patternshape& shape, textindex& text) {
    const uint64_t calls = countedcalls(shape, text);
    if (calls == UINT64_MAX) return UINT64_MAX;
    return calls > (UINT64_MAX - 2) / 2 ? UINT64_MAX : 2 * calls + 2;
}

route chooseroute(const patternshape& shape, textindex& text, bool straightforward) {
    if (!shape.simple || straightforward || shape.required.empty()) return route::library;
    // Positions are left out only where none of them could end the search:
    // the work at each stays far below the library's match limit, and its
    // depth below any recursion limit.
    if (workbound(shape, text) > skippablework) return route::library;
    for (const auto& literal : shape.required)
        if (text.contains(literal)) return route::restricted;
    // Certainly no match and no error.
    return route::none;
}

}  // namespace pst
