// Every search runs under a budget of the library's work: the table's shapes
// of hostile mail end with the match-limit diagnostic and the count so far,
// on the straightforward path and, where it cannot prove the count, on the
// fast one; a cheap rule is never cut short by the expensive ones before it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counting/regexbackend.h"
#include "counting/search.h"
#include "evaluate.h"
#include "rules/rule.h"
#include "scorelib.h"
#include "testutil.h"

namespace {

std::string words(int n) {
    std::string s = "!! ";
    for (int i = 0; i < n; ++i) s += (i ? "." : "") + std::string("abcdefghijklmnopqrst");
    return s;
}

pst::searchlimits small() {
    pst::searchlimits l = pst::searchlimits::defaults();
    l.search = 2'000'000;
    l.guaranteed = 1'000'000;
    l.message = 3'000'000;
    return l;
}

struct result {
    testutil::output out;
    int cuts = 0;
};

result evaluate(const std::string& rules, const std::string& body, bool straightforward,
                const pst::searchlimits& limits) {
    testutil::tempdir dir;
    const std::string r = dir.file("rules", rules), m = dir.file("m", "A: b\n\n" + body);
    pst::evalprofile profile;
    pst::evaloptions options;
    options.straightforward = straightforward;
    options.limits = &limits;
    options.profile = &profile;
    result res;
    res.out =
        testutil::capture([&] { return pst::evaluate(r.c_str(), m.c_str(), 0, nullptr, options); });
    res.cuts = profile.budgetcuts;
    return res;
}

std::string limit(const std::string& pattern) {
    return "#Error in rex_rc: -8 reading " + pattern + "\n";
}

TEST(budget, hostileShapesEndWithTheMatchLimitAndTheCountSoFar) {
    struct shape {
        std::string pattern, body;
        int count;  // matches before the budget ends the search
    };
    const size_t size = 200 << 10;
    std::string newsletter;
    for (int i = 0; newsletter.size() < size; ++i)
        newsletter += "line " + std::to_string(i) + ": get it free today\n";
    const shape shapes[] = {
        {"free.*money", "free money " + testutil::repeated("free ", size), 1},
        {"free.*money", newsletter, 0},
        {"[a-z]+ deal", " deal " + testutil::repeated("abcdefghij", size), 0},
        {"\\w+@\\w+\\.com", "me@here.com " + testutil::repeated("abcdefghij", size), 1},
        // A library that looks ahead for the last literal ("m", "!") before
        // it matches must find it, or it has no work to do.
        {"(?:[a-z0-9-]+\\.)+com\\b", "x.com com " + testutil::repeated("a.", 20 << 10) + " m", 1},
        {"(?:[a-z]+\\s?)+!!", "ab!! " + words(210) + " !", 1},
        // The library scans a run of letters at every start position without
        // counting it: the run is charged.
        {"(?:[a-z0-9-]+\\.)+com\\b", "x.com " + testutil::repeated("abcdefghij", size) + " m", 1},
    };
    for (const shape& s : shapes) {
        const std::string rules = "=1 " + s.pattern + "\n";
        const result slow = evaluate(rules, s.body, true, small());
        EXPECT_EQ(slow.out.out, "") << s.pattern;
        EXPECT_EQ(slow.out.result, s.count) << s.pattern;
        EXPECT_EQ(slow.out.err, limit(s.pattern)) << s.pattern;
        EXPECT_EQ(slow.cuts, 1) << s.pattern;

        // The fast path leaves out only positions that cost nothing: it is
        // cut short where the straightforward search is.
        const result fast = evaluate(rules, s.body, false, small());
        EXPECT_EQ(fast.out.result, s.count) << s.pattern;
        EXPECT_EQ(fast.out.err, limit(s.pattern)) << s.pattern;
        EXPECT_EQ(fast.cuts, 1) << s.pattern;
    }
}

// A match may start after its end (\K inside a lookahead). It is counted,
// and the next search starts at its end, as long as that end lies beyond
// where its search started; only one that does not would be found for ever,
// and that one ends the count.
TEST(budget, aMatchThatStartsAfterItsEnd) {
    struct resetcase {
        const char* rules;
        const char* body;
        int score;
        const char* err;
    };
    const resetcase cases[] = {
        {"=1 a(?=b\\K)\n", "ab ab ab\n", 3, ""},
        {"=1 a(?=bc\\K)\n", "abc abc\n", 2, ""},
        {"=1 (?=ab\\K)\n=2 b\n", "ab\n", 2, "#Error in rex_rc: -100 reading (?=ab\\K)\n"},
        {"=1 x(?=ab\\K)|b\n", "xab b\n", 3, ""},
    };
    for (const auto& c : cases) {
        for (const bool straightforward : {false, true}) {
            const result r = evaluate(c.rules, c.body, straightforward, small());
            EXPECT_EQ(r.out.result, c.score) << c.rules << straightforward;
            EXPECT_EQ(r.out.err, c.err) << c.rules << straightforward;
        }
    }
    EXPECT_EQ(testutil::capture([] { return countmatches("xab", "(?=ab\\K)", 0); }).err,
              "#Error in rex_rc: -100 reading (?=ab\\K)\n");
    EXPECT_EQ(testutil::capture([] { return countmatches("ab ab ab", "a(?=b\\K)", 0); }).result, 3);
}

TEST(budget, cheapRulesAreNeverCutShortByExpensiveOnes) {
    // Each nested rule spends a search's budget; together they spend more
    // than the message's, and the rules after them still count in full.
    std::string rules;
    for (int i = 0; i < 3; ++i) rules += "=1 (?:[a-z]+\\s?)+!!" + std::string(i, 'x') + "\n";
    rules += "=100 \\bcheap\\b\n";
    // Costly at most positions of the run of a's, and within its guarantee.
    rules += "=1000 [a-z]*[a-z]*z\n";
    const std::string body = "cheap " + words(210) + " cheap " + std::string(100, 'a') + " z !x\n";
    const result r = evaluate(rules, body, true, small());
    EXPECT_EQ(r.out.result, 1 + 200 + 1000);  // "cheap !!" before the first cut
    EXPECT_EQ(r.out.err, limit("(?:[a-z]+\\s?)+!!") + limit("(?:[a-z]+\\s?)+!!x") +
                             limit("(?:[a-z]+\\s?)+!!xx"));
    EXPECT_EQ(r.cuts, 3);
}

TEST(budget, defaultsNeverCutTheExamples) {
    const pst::searchlimits d = pst::searchlimits::defaults();
    EXPECT_GE(d.search, d.guaranteed);
    EXPECT_GE(d.message, d.search);
    EXPECT_GE(d.guaranteed, pst::regexdefaultmatchlimit());
    const result r = evaluate("10 cheap\n8 \\bfree\\s+money\\b\n4 [0-9]+% off\n",
                              "CHEAP cheap, free money, 90% off\n", false, d);
    EXPECT_EQ(r.out.result, 2 * 10 + 2 * 10 + 8 + 4);  // "CHEAP" once more in capitals
    EXPECT_EQ(r.cuts, 0);
}

}  // namespace
