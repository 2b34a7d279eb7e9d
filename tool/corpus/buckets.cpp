#include "corpus/buckets.h"

#include <algorithm>

namespace pst {
namespace {

// Enough to show any distribution; a width finer than that is shown around
// the threshold.
constexpr long long maxbuckets = 200;

long long floordiv(long long a, long long b) {
    return a / b - (a % b != 0 && a < 0);
}

long long nicewidth(long long span) {
    for (long long step = 1;; step *= 10)
        for (const long long m : {1LL, 2LL, 5LL})
            if (span / (step * m) < 20) return step * m;
}

}  // namespace

scorebuckets bucketscores(const std::vector<std::pair<int, int>>& scores, long long width,
                          std::optional<int> threshold) {
    scorebuckets b;
    if (scores.empty()) return b;
    std::vector<long long> sorted;
    sorted.reserve(scores.size());
    for (const auto& s : scores) sorted.push_back(s.first);
    std::sort(sorted.begin(), sorted.end());
    // The scores most messages have: within three interquartile ranges of
    // the middle half. Scores wrap by design, so they may span more than an
    // int: the arithmetic on them is wider.
    const size_t n = sorted.size();
    const long long q1 = sorted[(n - 1) / 4], q3 = sorted[(n - 1) * 3 / 4];
    const long long reach = 3 * (q3 - q1);
    long long lo = std::max(sorted.front(), q1 - reach), hi = std::min(sorted.back(), q3 + reach);
    if (threshold) {
        lo = std::min<long long>(lo, *threshold);
        hi = std::max<long long>(hi, *threshold);
    }
    b.width = width > 0 ? width : nicewidth(hi - lo);
    long long first = floordiv(lo, b.width) * b.width;
    long long last = floordiv(hi, b.width) * b.width;
    if ((last - first) / b.width >= maxbuckets) {
        const long long centre = threshold ? *threshold : sorted[(n - 1) / 2];
        first = (floordiv(centre, b.width) - maxbuckets / 2) * b.width;
        last = first + (maxbuckets - 1) * b.width;
    }
    const long long end = last + b.width;
    const bool below = sorted.front() < first, above = sorted.back() >= end;
    if (below) b.list.push_back({sorted.front(), first - 1, true, {0, 0, 0}});
    for (long long from = first; from < end; from += b.width)
        b.list.push_back({from, from + b.width - 1, false, {0, 0, 0}});
    if (above) b.list.push_back({end, sorted.back(), true, {0, 0, 0}});
    for (const auto& [score, set] : scores) {
        size_t i = 0;
        if (score >= end)
            i = b.list.size() - 1;
        else if (score >= first)
            i = static_cast<size_t>((score - first) / b.width) + below;
        ++b.list[i].count[static_cast<size_t>(set)];
    }
    return b;
}

}  // namespace pst
