#include "fastpath/shape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counting/regexbackend.h"
#include "fastpath/skippolicy.h"
#include "fastpath/textindex.h"

namespace {

using strings = std::vector<std::string>;

struct shapecase {
    std::string pattern;
    bool simple;
    strings required;  // every match holds one of these
};

TEST(shape, classAndRequiredLiterals) {
    const shapecase cases[] = {
        {"cheap", true, {"cheap"}},
        {"\\bfree\\s+money\\b", true, {"money"}},
        {"[a-z]+deal", true, {"deal"}},
        {"viagra|v1agra", true, {"viagra", "v1agra"}},
        {"(?:cheap|free) pills", true, {" pills"}},
        {"(?:cheap|free)s?", true, {"cheap", "free"}},
        {"deal.{0,20}win", true, {"deal"}},
        {"ab{2,5}c", true, {"abb"}},
        {"xa{100}b", true, {std::string("x").append(64, 'a')}},
        {"ab*c", true, {"a"}},
        {"a\\.b\\\\c", true, {"a.b\\c"}},
        {"\\d+% off", true, {"% off"}},
        {"^cheap$", true, {"cheap"}},
        {"[]x]yz", true, {"yz"}},
        {"[^]]ab", true, {"ab"}},
        {"a|", true, {}},
        {"x*", true, {}},
        {"\\w+", true, {}},
        {"(?:a|b*)c", true, {"c"}},
        {"(a+)+b", false, {}},
        {"(?:a|b)+", false, {}},
        {"(a)\\1", false, {}},
        {"(?=x)x", false, {}},
        {"(?i)deal", false, {}},
        {"\\Qa.b\\E", false, {}},
        {"\\x41", false, {}},
        {"a{,3}", false, {}},
        {"a{2", false, {}},
        {"[[:alpha:]]x", false, {}},
        {"(?<n>x)", false, {}},
        {"(*UTF)x", false, {}},
        {"a**", false, {}},
        {"a)", false, {}},
        {"(a", false, {}},
        {"[a", false, {}},
        {"\\", false, {}},
        {std::string(100, '(') + "a" + std::string(100, ')'), false, {}},
    };
    for (const auto& c : cases) {
        const auto shape = pst::analyse(c.pattern);
        EXPECT_EQ(shape.simple, c.simple) << c.pattern;
        if (c.simple) {
            EXPECT_EQ(shape.required, c.required) << c.pattern;
        }
    }
}

// The longest match, which bounds how far before a literal a match may
// start, and the runs a search may be left out within.
TEST(shape, longestMatchAndSkippableRuns) {
    struct row {
        const char* pattern;
        uint64_t longest;
        bool skippable;
        uint64_t run;  // when skippable
    } rows[] = {
        {"cheap", 5, true, UINT64_MAX},
        {"pi.{0,20}st", 24, true, UINT64_MAX},
        {"\\bti\\b", 2, true, UINT64_MAX},
        {"(?:ab|cde)f?", 4, true, UINT64_MAX},
        {"a\\s+b", UINT64_MAX, true, 498},
        {"[a-z]+deal", UINT64_MAX, true, 498},
        {"x[a-z]*y[a-z]*z", UINT64_MAX, true, 20},
        {"[a-z]+", UINT64_MAX, false, 0},     // no literal
        {"(?i)cheap", UINT64_MAX, false, 0},  // outside the class
        {"a{2,70}b", 71, true, UINT64_MAX},
    };
    for (const row& r : rows) {
        const pst::patternshape shape = pst::analyse(r.pattern);
        EXPECT_EQ(shape.longestmatch, r.longest) << r.pattern;
        uint64_t run = 0;
        EXPECT_EQ(pst::skippablerun(shape, run), r.skippable) << r.pattern;
        if (r.skippable) {
            EXPECT_EQ(run, r.run) << r.pattern;
        }
    }
}

TEST(shape, literalPatterns) {
    for (const char* p : {"cheap", "free money", "a}b", "x]y", "#", "50%", "\xE4"})
        EXPECT_TRUE(pst::isliteral(p)) << p;
    for (const char* p : {"a.b", "a\\b", "^a", "a$", "[a]", "a|b", "(a)", "a?", "a*", "a+", "a{2}"})
        EXPECT_FALSE(pst::isliteral(p)) << p;
}

TEST(shape, workBoundFollowsTheTextsRuns) {
    const std::string text = std::string(1000, 'a') + " " + std::string(10, ' ') + "b";
    pst::textindex index(text);
    auto bound = [&](const char* p) { return pst::workbound(pst::analyse(p), index); };
    EXPECT_LT(bound("cheap"), 1000u);
    EXPECT_LT(bound("\\s+x"), 1000u);     // the longest run of white space is 11
    EXPECT_GT(bound("[a-z]+x"), 1000u);   // a run of 1000 letters
    EXPECT_LT(bound("[a-z]+ x"), 2100u);  // only the longest length goes on to the space
    EXPECT_GT(bound("[a-z]+[a-z]+ "), 1'000'000u);
    EXPECT_GT(bound(".*.*x"), 1'000'000u);  // two unbounded repeats over the text
    EXPECT_LT(bound("x.{0,20}y"), 1000u);
    EXPECT_LT(bound("[0-9]*[0-9]*x"), 1000u);  // no digit in the text
    EXPECT_EQ(bound("(a+)+b"), UINT64_MAX);    // outside the class
}

TEST(textindex, containsAndCountsLiterals) {
    std::string big(100000, 'x');
    big += "cheap cheapcheap ab";
    for (const std::string& text : {std::string("small cheap cheapcheap ab"), big}) {
        pst::textindex index(text);
        EXPECT_TRUE(index.contains("cheap"));
        EXPECT_TRUE(index.contains("ab"));
        EXPECT_TRUE(index.contains("b"));
        EXPECT_FALSE(index.contains("ba"));
        EXPECT_FALSE(index.contains("cheaper"));
        EXPECT_FALSE(index.contains("q"));
        EXPECT_EQ(index.countliteral("cheap"), 3);
        EXPECT_EQ(index.countliteral("aa"), 0);
        EXPECT_EQ(index.countliteral(""), 0);
    }
    pst::textindex overlaps("aaaaa");
    EXPECT_EQ(overlaps.countliteral("aa"), 2);  // no overlapping matches
}

}  // namespace

namespace {

// The bound is what lets a search leave positions out: the library's own
// count of its matcher's calls at a start position must never exceed it.
TEST(shape, workBoundHoldsTheLibrarysOwnCount) {
    const char* patterns[] = {
        "[a-z]+x",         "[a-z]+ deal",
        "\\w+@\\w+\\.com", "free.*money",
        "a*a*a*b",         "x.{0,20}y",
        "[ab]*[bc]*c?d",   "(?:ab|a)(?:b|ba)c",
        "a?a?a?a?aaaa",    "\\bfree\\s+money\\b",
        "a{0,60}a{0,60}b", "(?:x|[a-z]+)[a-z]*q",
        "[^ ]+free[^ ]*",  ".*.*=",
    };
    const std::string texts[] = {
        std::string(300, 'a'),
        std::string(150, 'a') + " deal " + std::string(100, 'b') + "@" + std::string(50, 'c'),
        "free " + std::string(200, 'x') + " money free",
        "abababbcbcbcabcd" + std::string(100, 'b') + "ab ba abc",
    };
    int checked = 0;
    for (const std::string& text : texts) {
        pst::textindex index(text);
        for (const char* pattern : patterns) {
            const pst::patternshape shape = pst::analyse(pattern);
            ASSERT_TRUE(shape.simple) << pattern;
            const uint64_t bound = pst::workbound(shape, index);
            if (bound > 5'000'000) continue;  // left to the library's own loop
            const pst::regexholder re = pst::compileregex(pattern);
            ASSERT_TRUE(re) << pattern;
            pst::regexmatcher m(*re, size_t{64} << 20);
            for (size_t p = 0; p <= text.size(); ++p) {
                size_t s = 0, e = 0;
                const int rc = m.tryat(text, p, bound, s, e);
                ASSERT_NE(rc, pst::regexmatchlimit) << pattern << " at " << p << " bound " << bound;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 40);
}

// Which patterns may scan the text inside a give-back, and so need the
// callouts inside a start position: read from the syntax, erring towards
// yes; and how the work at one position grows with the runs of the text.
TEST(shape, scansInsideAGiveBack) {
    struct row {
        const char* pattern;
        bool scans;
    };
    // clang-format off
    const row rows[] = {
        {R"(.*[^@]+@bank)", true},
        {R"(to:\s*[^@]+@bank)", true},
        {R"(a.*?b[^@]+@bank)", true},
        {R"((?:x[^@]+)*y)", true},       // a scan inside a repeated group
        {R"((?:[a-z]+\s?)+!!)", true},   // an iteration gives back into the next
        {R"((a+)\1)", true},             // a back-reference
        {R"((?1)(a))", true},            // a subroutine call
        {R"(a{2,5}a+)", true},           // gives back a little, then scans
        {R"(\w+\s*\w+)", false},         // each before bytes it cannot match
        {R"(\w+@\w+\.com)", false},      // "\w+" before "@" never gives back
        {R"((?:[a-z]+\.)+com)", false},  // iterations given back scan nothing again
        {R"(free.*money)", false},       // one scan, nothing scans after it
        {R"([a-z]+ deal)", false},
        {R"((?:a|aa)+$)", false},        // many calls, no scan: the match limit's
        {R"(a*+[^@]+@)", false},         // possessive: gives nothing back
        {R"(a.{0,20}b)", false},         // too short to scan
        {R"(\Q.*[^@]+\E)", false},       // literal bytes
        {R"((?#.*).*)", false},          // a comment
        {R"([.*+]x+)", false},           // the class is one byte, unrepeated
    };
    // clang-format on
    for (const row& r : rows) EXPECT_EQ(pst::scansinsidegiveback(r.pattern), r.scans) << r.pattern;

    // The square at one position: twice the runs, four times the work.
    const pst::patternshape square = pst::analyse(".*[^@]+@bank");
    const pst::patternshape linear = pst::analyse("free.*money");
    EXPECT_GT(pst::positionworkupto(square, 2000), 3 * pst::positionworkupto(square, 1000));
    EXPECT_LT(pst::positionworkupto(linear, 2000), 3 * pst::positionworkupto(linear, 1000));
    EXPECT_EQ(pst::positionworkupto(pst::analyse("(a)+"), 10), UINT64_MAX);  // outside the class
}

}  // namespace
