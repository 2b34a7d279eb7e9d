#include <gtest/gtest.h>

#include <string>

#include "plugintree.h"

namespace {

using plugintree::scope;

std::string alternating(size_t size) {
    std::string s;
    s.reserve(size + 2);
    while (s.size() < size) s += "ab";
    return s;
}

// The library's matcher recurses about once per byte on "(?:a|b)+": a 1 MB
// run fits the matcher's stack, a 20 MB one reaches the recursion limit and
// is reported like any other search error instead of killing the plugin.
TEST(hostile, deepRecursionEndsInAResultNotACrash) {
    scope tree("1 (?:a|b)+\n2 x\n");
    testutil::tempdir dir;
    const auto small = plugintree::scan(dir.file("1mb", "A: b\n\nx " + alternating(1 << 20)));
    EXPECT_EQ(small.signal, 0);
    EXPECT_EQ(small.out, "3\n");  // the run once, "x" once
    EXPECT_EQ(small.err, "");

    const auto large = plugintree::scan(dir.file("20mb", "A: b\n\nx " + alternating(20 << 20)));
    EXPECT_EQ(large.signal, 0);
    EXPECT_EQ(large.out, "2\n");  // "x" once; the run ends in the error, uncounted
    EXPECT_EQ(large.err, "#Error in rex_rc: -21 reading (?:a|b)+\n");
}

}  // namespace
