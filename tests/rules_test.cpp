#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rules/rule.h"
#include "rules/rulefile.h"

namespace {

struct rulecase {
    std::string line;
    std::optional<pst::rule> expected;  // nullopt: the line is ignored
};

pst::rule r(bool exact, int weight, const char* pattern) {
    return {exact, weight, pattern};
}

TEST(rules, lineParsing) {
    const rulecase cases[] = {
        {"10 cheap\n", r(false, 10, "cheap")},
        {"=5 pills\n", r(true, 5, "pills")},
        {"5 free  money\n", r(false, 5, "free  money")},
        {"= 5 x\n", r(true, 0, "5 x")},
        {"# foo bar\n", r(false, 0, "foo bar")},
        {"-3 foo", r(false, -3, "foo")},
        {"5 \n", r(false, 5, "")},
        {"1 cheap\r\n", r(false, 1, "cheap\r")},
        {"x=5 a\n", r(false, 0, "a")},
        {"==5 a\n", r(true, 0, "a")},
        {"\t7 a\n", r(false, 7, "a")},
        {"foo\n", std::nullopt},
        {"5\n", std::nullopt},
        {"5\tfoo\n", std::nullopt},
        {"\n", std::nullopt},
        {"a", std::nullopt},
        {"=\n", std::nullopt},
        {"5 a\nb c", r(false, 5, "a")},
    };
    for (const auto& c : cases) {
        const std::optional<pst::rule> got = pst::parserule(c.line);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.line;
        if (!got) continue;
        EXPECT_EQ(got->exact, c.expected->exact) << c.line;
        EXPECT_EQ(got->weight, c.expected->weight) << c.line;
        EXPECT_EQ(got->pattern, c.expected->pattern) << c.line;
    }
}

// The whole file in one buffer: each rule must end at its own line, however
// the line ends, and never run into the next.
// Where the parts lie: the one reading that the scan, check (for its
// columns and weight warnings) and the weight rewrite share.
TEST(rules, aLineSplitsWhereThePluginReadsIt) {
    struct splitcase {
        std::string line;
        bool rule, exact;
        std::string weight, pattern;
    };
    const splitcase cases[] = {
        {"5 cheap\n", true, false, "5", "cheap"},
        {"=5 a b\nrest", true, true, "5", "a b"},
        {" 5 x", true, false, "", "5 x"},
        {"\t-3 x\r\n", true, false, "\t-3", "x\r"},
        {"12abc x", true, false, "12abc", "x"},
        {"= x", true, true, "", "x"},
        {"5\tx\n", false, false, "", ""},
        {"5x", false, false, "", ""},
        {"5", false, false, "", ""},
        {"5\n x", false, false, "", ""},
    };
    for (const auto& c : cases) {
        const auto s = pst::splitrule(c.line);
        ASSERT_EQ(s.has_value(), c.rule) << c.line;
        if (!s) continue;
        EXPECT_EQ(s->exact, c.exact) << c.line;
        EXPECT_EQ(s->weight, c.weight) << c.line;
        EXPECT_EQ(s->pattern, c.pattern) << c.line;
        // parserule reads the same parts.
        const std::optional<pst::rule> r = pst::parserule(c.line);
        ASSERT_TRUE(r) << c.line;
        EXPECT_EQ(r->pattern, c.pattern) << c.line;
        EXPECT_EQ(r->weight, pst::parseweight(c.weight)) << c.line;
    }
}

TEST(rules, aFileIsCutIntoItsLinesAndRules) {
    using namespace std::string_literals;
    struct filecase {
        std::string text;
        size_t lines;
        std::vector<std::pair<int, std::string>> rules;  // line number, pattern
    };
    const filecase cases[] = {
        {"", 0, {}},
        {"10 a\n", 1, {{1, "a"}}},
        {"10 a", 1, {{1, "a"}}},
        {"10 a\n5 b", 2, {{1, "a"}, {2, "b"}}},
        {"\n\n3 c\n", 3, {{3, "c"}}},
        {"1 a\0b\n2 c\n"s, 2, {{1, "a"}, {2, "c"}}},
        {"1 ab\0\n2 c"s, 2, {{1, "ab"}, {2, "c"}}},
        {"\0 1 x\n2 y\n"s, 2, {{2, "y"}}},
        {"0 zero\n1 one\r\n", 2, {{2, "one\r"}}},
    };
    for (const auto& c : cases) {
        pst::rulefile f;
        pst::takerulelines(f, c.text);
        EXPECT_EQ(f.lines.size(), c.lines) << c.text;
        size_t total = 0;
        for (const auto line : f.lines) total += line.size();
        EXPECT_EQ(total, c.text.size()) << c.text;
        pst::parserules(pst::weights::nonzero, f);
        // Parsing leaves the text as read: the compiled form's hash covers it.
        EXPECT_EQ(f.text, c.text);
        std::vector<std::pair<int, std::string>> got;
        for (const pst::ruleline& r : f.rules) {
            got.emplace_back(r.line, std::string(r.pattern));
            EXPECT_EQ(r.pattern.data()[r.pattern.size()], '\0') << c.text;
        }
        EXPECT_EQ(got, c.rules) << c.text;
    }
}

TEST(rules, weightsReadLikeAtoiAndClamp) {
    const std::pair<const char*, int> cases[] = {
        {"10", 10},
        {"-3", -3},
        {"+5", 5},
        {"", 0},
        {"#", 0},
        {"12abc", 12},
        {" \t\v\f\r\n7", 7},
        {"- 3", 0},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999999", INT_MAX},
        {"-99999999999999999999999999", INT_MIN},
    };
    for (const auto& [text, weight] : cases) EXPECT_EQ(pst::parseweight(text), weight) << text;
}

TEST(rules, scoreArithmeticWraps) {
    EXPECT_EQ(pst::addweighted(0, 3, 10, 1), 30);
    EXPECT_EQ(pst::addweighted(30, 1, -10, 2), 10);
    EXPECT_EQ(pst::addweighted(INT_MAX, 1, 1, 1), INT_MIN);
    EXPECT_EQ(pst::addweighted(0, 2, INT_MAX, 1), -2);
    EXPECT_EQ(pst::addweighted(0, 1, INT_MIN, 2), 0);
    EXPECT_EQ(pst::addweighted(5, 1000000, 1000000, 2), -1454759931);
}

}  // namespace
