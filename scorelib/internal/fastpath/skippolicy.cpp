#include "fastpath/skippolicy.h"

#include "fastpath/textindex.h"

namespace pst {

namespace {

// Twice the calls its items can make, and the first one (saturating).
uint64_t boundofcalls(uint64_t calls) {
    return calls > (UINT64_MAX - 2) / 2 ? UINT64_MAX : 2 * calls + 2;
}

}  // namespace

uint64_t workbound(const patternshape& shape, textindex& text) {
    return boundofcalls(countedcalls(shape, text));
}

bool watchitems(std::string_view pattern, const patternshape& shape, textindex& text) {
    byteset scans;
    if (!scansinsidegiveback(pattern, &scans)) return false;
    // Scans no longer than a few calls' worth leave the position's work to
    // its calls, which the library's match limit bounds, as in "(a+)+b".
    if (text.longestrun(scans) <= shortscan) return false;
    uint64_t calls = 0, scanned = 0;
    if (!positionwork(shape, text, calls, scanned)) return true;
    const uint64_t callcost =
        calls > positionslice / nanosecondspercall ? UINT64_MAX : calls * nanosecondspercall;
    const uint64_t scancost =
        scanned > positionslice / nanosecondsperbyte ? UINT64_MAX : scanned * nanosecondsperbyte;
    return callcost > positionslice || scancost > positionslice - callcost;
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

bool skippablerun(const patternshape& shape, uint64_t& run) {
    if (!shape.simple || shape.required.empty()) return false;
    // As workbound, for a text whose runs are at most this long; it grows
    // with them.
    auto fits = [&](uint64_t longest) {
        return boundofcalls(countedcallsupto(shape, longest)) <= skippablework;
    };
    constexpr uint64_t anylength = uint64_t{1} << 40;
    if (fits(anylength)) {
        run = UINT64_MAX;
        return true;
    }
    if (!fits(0)) return false;
    uint64_t lo = 0, hi = anylength;  // fits(lo), !fits(hi)
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (fits(mid) ? lo : hi) = mid;
    }
    run = lo;
    return true;
}

}  // namespace pst
