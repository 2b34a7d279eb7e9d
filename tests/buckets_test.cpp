// The buckets of the score distribution, shared by the text report and the
// plot: outliers in open buckets of their own, the threshold always inside,
// a width that is asked for kept.
#include "corpus/buckets.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

// "from..to" per bucket, "!" after an outliers' bucket, and the width.
std::string layout(const pst::scorebuckets& b) {
    std::string s = "width " + std::to_string(b.width) + ":";
    for (const pst::bucket& k : b.list) {
        char one[64];
        std::snprintf(one, sizeof one, " %lld..%lld%s", k.from, k.to, k.outliers ? "!" : "");
        s += one;
    }
    return s;
}

std::vector<std::pair<int, int>> hamof(std::initializer_list<int> scores) {
    std::vector<std::pair<int, int>> out;
    for (const int s : scores) out.emplace_back(s, 1);
    return out;
}

TEST(buckets, layoutTable) {
    struct row {
        std::vector<std::pair<int, int>> scores;
        long long width;
        std::optional<int> threshold;
        const char* expected;
    } rows[] = {
        {{}, 0, std::nullopt, "width 1:"},
        {hamof({3}), 0, std::nullopt, "width 1: 3..3"},
        // Under 20 buckets of 1, 2 or 5 times a power of ten.
        {hamof({0, 5, 9, 19}), 0, std::nullopt,
         "width 1: 0..0 1..1 2..2 3..3 4..4 5..5 6..6 "
         "7..7 8..8 9..9 10..10 11..11 12..12 13..13 "
         "14..14 15..15 16..16 17..17 18..18 19..19"},
        {hamof({-7, 12, 30}), 0, std::nullopt,
         "width 2: -8..-7 -6..-5 -4..-3 -2..-1 0..1 2..3 4..5 6..7 8..9 10..11 12..13 14..15 "
         "16..17 18..19 20..21 22..23 24..25 26..27 28..29 30..31"},
        // One spam far out does not squeeze the rest into one bucket: the
        // buckets reach three interquartile ranges beyond the middle half.
        {hamof({0, 1, 2, 3, 4, 5, 6, 7, 10000}), 0, std::nullopt,
         "width 1: 0..0 1..1 2..2 3..3 4..4 5..5 6..6 7..7 8..8 9..9 10..10 11..11 12..12 13..13 "
         "14..14 15..15 16..16 17..17 18..18 19..10000!"},
        {hamof({-5000, 0, 1, 2, 3, 4, 5, 6, 7}), 0, std::nullopt,
         "width 1: -5000..-12! -11..-11 -10..-10 -9..-9 -8..-8 -7..-7 -6..-6 -5..-5 "
         "-4..-4 -3..-3 -2..-2 -1..-1 0..0 1..1 2..2 3..3 4..4 5..5 6..6 7..7"},
        // The threshold is always inside, however far from the scores.
        {hamof({0, 1, 2}), 0, 50,
         "width 5: 0..4 5..9 10..14 15..19 20..24 25..29 30..34 35..39 40..44 45..49 50..54"},
        // A width asked for is kept; too fine a width shows 200 buckets
        // around the threshold and the rest as outliers.
        {hamof({0, 17, 33}), 10, std::nullopt, "width 10: 0..9 10..19 20..29 30..39"},
        {hamof({0, 1000}), 1, 500, ""},
        // Scores at the ends of an int.
        {hamof({INT_MIN, INT_MAX}), 0, std::nullopt, ""},
    };
    for (const row& r : rows) {
        const pst::scorebuckets b = pst::bucketscores(r.scores, r.width, r.threshold);
        if (*r.expected) {
            EXPECT_EQ(layout(b), r.expected);
            continue;
        }
        // The long layouts: contiguous, every score in one bucket.
        ASSERT_FALSE(b.list.empty());
        EXPECT_LE(b.list.size(), 202u);
        for (size_t i = 1; i < b.list.size(); ++i)
            EXPECT_EQ(b.list[i].from, b.list[i - 1].to + 1) << layout(b);
        EXPECT_EQ(b.list.front().from, std::min(r.scores.front().first, r.scores.back().first));
        EXPECT_EQ(b.list.back().to, std::max(r.scores.front().first, r.scores.back().first));
        int total = 0;
        for (const pst::bucket& k : b.list) total += k.count[1];
        EXPECT_EQ(total, static_cast<int>(r.scores.size()));
    }
}

TEST(buckets, eachSetIsCountedInItsBucket) {
    const pst::scorebuckets b =
        pst::bucketscores({{0, 1}, {0, 2}, {4, 2}, {9, 0}, {100, 2}}, 5, std::nullopt);
    ASSERT_EQ(layout(b), "width 5: 0..4 5..9 10..14 15..19 20..24 25..29 30..34 35..39 40..100!");
    EXPECT_EQ(b.list[0].count, (std::array<int, 3>{0, 1, 2}));
    EXPECT_EQ(b.list[1].count, (std::array<int, 3>{1, 0, 0}));
    EXPECT_EQ(b.list[8].count, (std::array<int, 3>{0, 0, 1}));
}

}  // namespace
