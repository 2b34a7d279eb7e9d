// The buckets the score distribution is shown in, by the text report and the
// plot alike: buckets of one width over the scores most messages have, and
// an open bucket at either end for the outliers, so that a few extreme
// scores do not squeeze the scores around the threshold into one bucket.
#pragma once

#include <array>
#include <optional>
#include <vector>

namespace pst {

struct bucket {
    long long from, to;        // the scores it holds, both included
    bool outliers;             // an open bucket at one end: its scores are spread wider
    std::array<int, 3> count;  // per set: unlabelled, ham, spam
};

struct scorebuckets {
    long long width = 1;
    std::vector<bucket> list;  // lowest scores first; empty without a score
};

// scores: the scored messages' scores with their sets (0 unlabelled, 1 ham,
// 2 spam). width 0 chooses a width of 1, 2 or 5 times a power of ten that
// gives at most 20 buckets. The buckets always reach the threshold.
scorebuckets bucketscores(const std::vector<std::pair<int, int>>& scores, long long width,
                          std::optional<int> threshold);

}  // namespace pst
