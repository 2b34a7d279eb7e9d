#include <gtest/gtest.h>

#include <string>

#include "scorelib.h"
#include "testutil.h"

namespace {

struct countcase {
    std::string text, pattern;
    int count;
    std::string diagnostic;
};

TEST(countmatches, countsAndDiagnostics) {
    const std::string tengroups =
        "(?<a>x)(?<b>x)(?<c>x)(?<d>x)(?<e>x)(?<f>x)(?<g>x)(?<h>x)(?<i>x)(?<j>x)";
    const std::string ninegroups =
        "(?<a>x)(?<b>x)(?<c>x)(?<d>x)(?<e>x)(?<f>x)(?<g>x)(?<h>x)(?<i>x)";
    const countcase cases[] = {
        {"banana", "a", 3, ""},
        {"banana", "ana", 1, ""},  // matches do not overlap
        {"banana", "an|na", 2, ""},
        {"banana", "", 0, ""},
        {"banana", "x*", 0, ""},  // only empty matches: never counted
        {"a\nb", "a.b", 1, ""},   // dot matches a newline
        {"CHEAP", "cheap", 0, ""},
        {"cheap cheap", "^cheap", 1, ""},
        {"x\ncheap\n", "cheap$", 1, ""},
        {"cheap\nx", "cheap$", 0, ""},
        {"(a)(b)", "(a)", 1, ""},  // parentheses group, they are no literals
        {"ab", "(", 0, "#Error: Regexp compile error on (\n"},
        {"xxxxxxxxxx", tengroups, 0, "#Error in rex_rc: 0 reading " + tengroups + "\n"},
        {"xxxxxxxxxxxxxxxxxx", ninegroups, 2, ""},
        {"ab" + std::string(40, 'a') + "cb", "(?:a+)+b", 1,
         "#Error in rex_rc: -8 reading (?:a+)+b\n"},  // the match limit, after one match
    };
    for (const auto& c : cases) {
        for (int debug : {0, 2}) {
            const auto o = testutil::capture(
                [&] { return countmatches(c.text.c_str(), c.pattern.c_str(), debug); });
            EXPECT_EQ(o.result, c.count) << c.pattern;
            EXPECT_EQ(debug ? o.out : o.err, c.diagnostic) << c.pattern;
            EXPECT_EQ(debug ? o.err : o.out, "") << c.pattern;
        }
    }
}

// Each match is counted, none twice (the time is the benchmark's; twenty
// million of them take most of a search's budget).
TEST(countmatches, fourMillionMatchesAreAllCounted) {
    const std::string text(4'000'000, 'a');
    EXPECT_EQ(countmatches(text.c_str(), "a", 0), 4'000'000);
}

}  // namespace
