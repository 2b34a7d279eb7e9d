#include "stats/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "system/pathname.h"

namespace {

struct rewritecase {
    const char* name;
    std::string old;
    std::vector<pst::recordedhit> hits;
    std::string expected;
};

TEST(stats, rewriteTable) {
    const std::string longline = "7 " + std::string(5000, 'w');
    const rewritecase cases[] = {
        {"first hit in an empty file", "", {{"cheap", 100}}, "100 cheap\n"},
        {"update in place", "50 a\n60 cheap\n70 b\n", {{"cheap", 100}}, "50 a\n100 cheap\n70 b\n"},
        {"duplicates all updated", "1 x\n5 y\n2 x\n", {{"x", 9}}, "9 x\n5 y\n9 x\n"},
        {"pattern with spaces", "5 free money\n", {{"free money", 9}}, "9 free money\n"},
        {"only the first space separates",
         "5 free money\n",
         {{"money", 9}},
         "5 free money\n9 money\n"},
        {"lines without a space dropped", "12345\n\n1 a\nnospace", {{"b", 9}}, "1 a\n9 b\n"},
        {"missing final newline", "1 a\n2 b", {{"c", 9}}, "1 a\n2 b\n9 c\n"},
        {"long line carried whole", longline + "\n", {{"c", 9}}, longline + "\n9 c\n"},
        {"long line updated",
         longline + "\n",
         {{std::string(5000, 'w'), 9}},
         "9 " + std::string(5000, 'w') + "\n"},
        {"carriage return is part of the pattern", "1 a\r\n", {{"a", 9}}, "1 a\r\n9 a\n"},
        {"case-sensitive comparison", "1 Cheap\n", {{"cheap", 9}}, "1 Cheap\n9 cheap\n"},
        {"time field not checked", "never cheap\n", {{"cheap", 9}}, "9 cheap\n"},
        {"several hits in order", "", {{"b", 1}, {"a", 2}, {"b", 3}}, "3 b\n2 a\n"},
        {"a later time written meanwhile stays",
         "50 a\n200 cheap\n",
         {{"cheap", 100}},
         "50 a\n200 cheap\n"},
        {"the later of two hits", "", {{"b", 3}, {"b", 1}}, "3 b\n"},
        {"a time that is no number gives way", "12x cheap\n", {{"cheap", 9}}, "9 cheap\n"},
        {"nul bytes kept",
         std::string("1 a\0b\n", 6),
         {{"a", 9}},
         std::string("1 a\0b\n9 a\n", 10)},
    };
    for (const auto& c : cases) EXPECT_EQ(pst::rewritestats(c.old, c.hits), c.expected) << c.name;
}

// No line is held longer than linecutter::maxline: a longer one is copied
// through when a space comes early enough to make it a record, dropped
// otherwise, and never compared.
TEST(stats, linesLongerThanTheBufferPassThrough) {
    const size_t max = pst::linecutter::maxline;
    const std::string huge = "7 " + std::string(max, 'w');
    const std::string nospace(max + 10, '\0');
    const std::string spacelate = std::string(max, 'x') + " late";
    const rewritecase cases[] = {
        {"long record copied, then the hit appended",
         huge + "\n1 a\n",
         {{"a", 9}},
         huge + "\n9 a\n"},
        {"never compared",
         huge + "\n",
         {{huge.substr(2), 9}},
         huge + "\n" + "9 " + huge.substr(2) + "\n"},
        {"no space in its first bytes: dropped", nospace + "\n1 a\n", {{"a", 9}}, "9 a\n"},
        {"a space after them does not count", spacelate + "\n", {}, ""},
        {"exactly the buffer is an ordinary line",
         "1 " + std::string(max - 2, 'q') + "\n",
         {{std::string(max - 2, 'q'), 9}},
         "9 " + std::string(max - 2, 'q') + "\n"},
        {"long last line without a newline gets one", huge, {}, huge + "\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(pst::rewritestats(c.old, c.hits), c.expected) << c.name;
}

// The file arrives in blocks: where they split the lines must not matter.
TEST(stats, theRewriteDoesNotDependOnHowTheFileIsCut) {
    std::mt19937 rng(7);
    const std::string old = "1 a\n2 b c\nnospace\n3 " + std::string(3000, 'z') + "\n4 a\n5 d";
    const std::vector<pst::recordedhit> hits = {{"a", 10}, {"d", 11}, {"new", 12}};
    const std::string whole = pst::rewritestats(old, hits);
    for (int round = 0; round < 200; ++round) {
        pst::statsrewrite rewrite(hits);
        std::string out;
        for (size_t at = 0; at < old.size();) {
            const size_t n = std::min<size_t>(old.size() - at, 1 + rng() % 40);
            rewrite.feed(std::string_view(old).substr(at, n));
            out += rewrite.out();
            rewrite.out().clear();
            at += n;
        }
        rewrite.finish();
        ASSERT_EQ(out + rewrite.out(), whole) << round;
    }
}

// Applying all hits of a message in one rewrite gives the same file as one
// rewrite per hit.
TEST(stats, oneRewriteEqualsOneRewritePerHit) {
    std::mt19937 rng(2026);
    const char* patterns[] = {"a", "b", "c d", "e", "a ", " a", ""};
    auto pick = [&] { return std::string(patterns[rng() % 7]); };
    for (int round = 0; round < 2000; ++round) {
        std::string old;
        for (unsigned i = rng() % 6; i > 0; --i) {
            if (rng() % 5 == 0)
                old += "junk";
            else
                old += std::to_string(rng() % 100) + " " + pick();
            if (i > 1 || rng() % 3) old += "\n";
        }
        std::vector<pst::recordedhit> hits;
        for (unsigned i = 1 + rng() % 5; i > 0; --i)
            hits.push_back({pick(), static_cast<time_t>(1000 + hits.size())});
        std::string sequential = old;
        for (const auto& h : hits) sequential = pst::rewritestats(sequential, {h});
        ASSERT_EQ(pst::rewritestats(old, hits), sequential) << old;
    }
}

// The directory the rewrite syncs and clears of stale temporaries: a file
// directly under the root lies in "/", not in "".
TEST(stats, theDirectoryOfTheStatisticsFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"/STATS", "/"},
        {"STATS", "."},
        {"/var/spool/postsentinel/STATS", "/var/spool/postsentinel"},
        {"spool/STATS", "spool"},
    };
    for (const auto& [path, dir] : cases) EXPECT_EQ(pst::parentdirectory(path), dir) << path;
}

}  // namespace
