// Every search runs under a budget of CPU time. Under a clock that counts
// instead of timing, the loop's decisions are checked exactly: the shapes of
// hostile mail end with the match-limit diagnostic and the count so far, on
// the straightforward path and the fast one, and a cheap rule is never cut
// short by the expensive ones before it. Under the release defaults, rules
// the library searches quickly give exactly the straightforward output, and
// the ones that would run for seconds end with the diagnostic.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "counting/regexbackend.h"
#include "counting/search.h"
#include "evaluate.h"
#include "generator.h"
#include "rules/compiledrules.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "scorelib.h"
#include "testutil.h"

namespace {

// Every reading of the cheap clock is one tick: a search's charge is the
// start positions the library tried, whatever each cost. A CPU clock that
// cannot be read shows 0.
class tickclock final : public pst::workclock {
   public:
    explicit tickclock(bool cpuworks = true) : cpuworks_(cpuworks) {}
    uint64_t cheap() override { return ++ticks_; }
    uint64_t fine() override { return ++ticks_; }
    uint64_t cpu() override { return cpuworks_ ? ticks_ : 0; }

   private:
    bool cpuworks_;
    uint64_t ticks_ = 0;
};

std::string words(int n) {
    std::string s = "!! ";
    for (int i = 0; i < n; ++i) {
        if (i) s += '.';
        s += "abcdefghijklmnopqrst";
    }
    return s;
}

struct result {
    testutil::output out;
    int cuts = 0;
};

// With the compiled form of the rules and its prefilter, if form.
result evaluate(const std::string& rules, const std::string& body, bool straightforward,
                const pst::searchlimits& limits, bool form = false) {
    testutil::tempdir dir;
    const std::string r = dir.file("rules", rules), m = dir.file("m", "A: b\n\n" + body);
    pst::evalprofile profile;
    pst::evaloptions options;
    std::string compiled;
    if (form) {
        pst::rulefile f;
        pst::takerulelines(f, rules);
        compiled = dir.file("rules.compiled", pst::compiledrules::make(f));
        options.compiledrules = compiled.c_str();
    }
    options.straightforward = straightforward;
    options.limits = &limits;
    options.profile = &profile;
    result res;
    res.out =
        testutil::capture([&] { return pst::evaluate(r.c_str(), m.c_str(), 0, nullptr, options); });
    res.cuts = profile.budgetcuts;
    return res;
}

// Budgets in ticks of the counting clock.
result evaluateinticks(const std::string& rules, const std::string& body, bool straightforward,
                       bool cpuworks = true) {
    tickclock clock(cpuworks);
    pst::searchlimits l = pst::searchlimits::defaults();
    l.search = 400;
    l.guaranteed = 300;
    l.message = 600;
    l.clock = &clock;
    return evaluate(rules, body, straightforward, l);
}

std::string limit(const std::string& pattern) {
    return "#Error in rex_rc: -8 reading " + pattern + "\n";
}

TEST(budget, hostileShapesEndWithTheMatchLimitAndTheCountSoFar) {
    struct shape {
        std::string pattern, body;
        int count;  // matches before the budget ends the search
    };
    const size_t size = 20 << 10;
    std::string newsletter;
    for (int i = 0; newsletter.size() < size; ++i)
        newsletter += "line " + std::to_string(i) + ": get it free today\n";
    // Each text ends with the bytes a match needs last, so that neither
    // library can tell from them alone that a start position is in vain.
    const shape shapes[] = {
        {"free.*money", "free money " + testutil::repeated("free ", size) + "y", 1},
        {"free.*money", newsletter + "y", 0},
        {"[a-z]+ deal", " deal " + testutil::repeated("abcdefghij", size) + " l", 0},
        {"\\w+@\\w+\\.com", "me@here.com " + testutil::repeated("abcdefghij", size) + "m", 1},
        {"(?:[a-z0-9-]+\\.)+com\\b", "x.com com " + testutil::repeated("a.", 20 << 10) + " m", 1},
        {"(?:[a-z]+\\s?)+!!", "ab!! " + words(210) + " !", 1},
        {"src=(?:3d)?[^>]+>free", ">src=3d>free " + testutil::repeated("src=3dx ", size) + "e", 1},
    };
    for (const shape& s : shapes) {
        const std::string rules = "=1 " + s.pattern + "\n";
        for (const bool straightforward : {true, false}) {
            const result r = evaluateinticks(rules, s.body, straightforward);
            EXPECT_EQ(r.out.out, "") << s.pattern;
            EXPECT_EQ(r.out.result, s.count) << s.pattern;
            EXPECT_EQ(r.out.err, limit(s.pattern)) << s.pattern;
            EXPECT_EQ(r.cuts, 1) << s.pattern;
        }
    }
}

// Without a CPU clock the wall clock ends the search, at four times its
// allowance.
TEST(budget, aCpuClockThatCannotBeReadStillEndsTheSearch) {
    const std::string body = "free money " + testutil::repeated("free ", 40 << 10) + "y";
    const result r = evaluateinticks("=1 free.*money\n", body, false, false);
    EXPECT_EQ(r.out.result, 1);
    EXPECT_EQ(r.out.err, limit("free.*money"));
    EXPECT_EQ(r.cuts, 1);
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
            const result r =
                evaluate(c.rules, c.body, straightforward, pst::searchlimits::defaults());
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
    // Tried at every "a", and within its guarantee.
    rules += "=1000 a[a-z]*z\n";
    const std::string body = "cheap " + words(60) + " cheap " + std::string(100, 'a') + "z !x\n";
    for (const bool straightforward : {true, false}) {
        const result r = evaluateinticks(rules, body, straightforward);
        EXPECT_EQ(r.out.result, 1 + 200 + 1000);  // "cheap !!" before the first cut
        EXPECT_EQ(r.out.err, limit("(?:[a-z]+\\s?)+!!") + limit("(?:[a-z]+\\s?)+!!x") +
                                 limit("(?:[a-z]+\\s?)+!!xx"));
        EXPECT_EQ(r.cuts, 3);
    }
}

// The shapes administrators and hostile senders send, under the budget the
// plugin is built with. Where the library finishes in a fraction of a
// second, the output is the straightforward evaluation's; where it would
// take seconds, the search ends with the diagnostic.
TEST(budget, releaseDefaultsAreExactWhereTheLibraryIsQuickAndBoundedWhereItIsNot) {
    struct quick {
        std::string rule, body;
        int score;
    };
    const std::string a30 = std::string(28, 'a') + "c ";
    const quick exact[] = {
        {"4 mailto:[^@ ]+@[a-z.]+\\.ru", testutil::repeated("mailto:abc ", 55'000), 0},
        {"5 \"[^\"]*\"\\s*>\\s*unsubscribe", testutil::repeated("\"ab\" ", 75'000), 0},
        {"5 <a [^>]+>click", ">" + testutil::repeated("<a href=x ", 100'000), 0},
        {"1 [a-z]+ deal", "x deal " + std::string(16'000, 'q'), 1},
        {"1 .+win", std::string(9'000, 'x'), 0},
        {"10 (a|aa)+$", a30 + a30 + a30 + a30 + a30, 0},
        {"5 (?:[a-z]+\\.)+com", testutil::repeated("a.", 6'000), 0},
        {"1 (?:.*|x)dollars", std::string(7'000, 'x'), 0},
    };
    for (const quick& q : exact) {
        for (const int how : {0, 1, 2}) {  // straightforward, fast, with the prefilter
            const result r =
                evaluate(q.rule + "\n", q.body, how == 0, pst::searchlimits::defaults(), how == 2);
            EXPECT_EQ(r.out.err, "") << q.rule;
            EXPECT_EQ(r.out.result, q.score) << q.rule;
        }
    }
    // Quadratic in the library that scans "[^>]+" at every "src=" without
    // counting it; the other library's required-byte check may finish the
    // second at once.
    const std::string slow[][2] = {
        {"src=(?:3d)?[^>]+>free", ">" + testutil::repeated("src=3dx ", 1 << 20)},
        {"to:\\s*[^@]+@bank", "@bank" + testutil::repeated("to: ", 1 << 20)},
    };
    for (const auto& [pattern, body] : slow) {
        for (const bool form : {false, true}) {
            const result r =
                evaluate("5 " + pattern + "\n", body, false, pst::searchlimits::defaults(), form);
            EXPECT_EQ(r.out.result, 0) << pattern;
            const bool cut = r.cuts != 0 || std::string(pst::regexlibrary()) == "pcre";
            EXPECT_EQ(r.out.err, cut ? limit(pattern) : "") << pattern;
        }
    }
}

// Inside one start position the clock is read too, where a repeat scans the
// text each time the one before it gives back a byte: at the one position
// the library tries here (the "q"), once for every 64 KB or so that the
// scans cover, about seventy times in all. Read at start positions only, the
// clock shows a tick or two, whatever the scans cost.
TEST(budget, theWorkInsideOneStartPositionIsWatched) {
    const std::string pattern = "q.*[^@]+@bank";
    const std::string text = "q" + std::string(3000, 'a') + "k";
    for (const pst::watch how : {pst::watch::starts, pst::watch::items}) {
        tickclock clock;
        pst::searchlimits l = pst::searchlimits::defaults();
        l.search = l.guaranteed = l.message = uint64_t{1} << 40;
        l.clock = &clock;
        pst::workbudget budget(l);
        const pst::regexholder re = pst::compileregex(pattern.c_str(), how);
        pst::searchplan plan;
        plan.how = how;
        int count = 0;
        uint64_t spent = 0;
        EXPECT_EQ(pst::searchcount(*re, pattern.c_str(), text, budget, count, &plan, &spent),
                  pst::regexnomatch);
        EXPECT_EQ(count, 0);
        if (how == pst::watch::items) {
            EXPECT_GT(spent, 50u);
        } else {
            EXPECT_LT(spent, 10u);
        }
    }
}

// Once the message's budget is spent, each search still gets its guarantee,
// until those guarantees together reach the overdraft: then every search
// ends at its first start position.
TEST(budget, theSearchesAfterTheBudgetShareABoundedOverdraft) {
    pst::workbudget budget([] {
        pst::searchlimits l = pst::searchlimits::defaults();
        l.search = 400, l.guaranteed = 300, l.message = 600, l.overdraft = 500;
        return l;
    }());
    EXPECT_EQ(budget.allowance(), 400u);
    budget.spend(400);
    EXPECT_EQ(budget.allowance(), 300u);  // the guarantee: 200 left
    budget.spend(300);
    EXPECT_EQ(budget.allowance(), 300u);  // overdrawn by 100
    budget.spend(300);
    EXPECT_EQ(budget.allowance(), 300u);  // by 400
    budget.spend(100);
    EXPECT_EQ(budget.allowance(), 0u);  // by 500: nothing more
}

// What lets the budget bound a search: every start position where the
// library's matcher does real work is told to the watch before that work.
// The oracle is the library itself: an attempt at one position that needs
// more than a thousand calls of its matcher.
TEST(budget, everyCostlyStartPositionIsWatched) {
    class recorder final : public pst::startwatch {
       public:
        bool startat(size_t position) override {
            told.insert(position);
            return true;
        }
        bool initem(size_t) override { return true; }
        std::set<size_t> told;
    };
    testgen::generator gen(20261209);
    const std::string shapes[] = {"(?:[a-z]+\\s?)+!!", "(a|aa)+$", "x|(?:[a-z]+\\.)+com",
                                  "(*UTF8)(?:a|b)*c", "(?i)(?:a+)+B"};
    const std::string texts[] = {words(3) + " x", std::string(24, 'a') + "c",
                                 testutil::repeated("aa.b.", 80) + " x"};
    int costly = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string pattern = i < 5 ? shapes[i] : gen.pattern();
        const std::string text = i < 15 ? texts[i % 3] : gen.message();
        const pst::regexholder re = pst::compileregex(pattern.c_str());
        if (!re) continue;
        pst::regexmatcher m(*re, size_t{64} << 20);
        recorder watch;
        size_t mstart = 0, mend = 0;
        const int rc = m.exec(text, 0, 20'000, &watch, mstart, mend);
        if (rc == pst::regexrecursionlimit) continue;
        // The loop passed every position before the first match, or before
        // the one where the library gave up.
        size_t passed = text.size();
        if (rc > 0) passed = std::min(mstart, mend);
        if (rc <= 0 && rc != pst::regexnomatch)
            passed = watch.told.empty() ? 0 : *watch.told.rbegin();
        for (size_t p = 0; p <= passed && p <= text.size(); ++p) {
            size_t s = 0, e = 0;
            if (m.tryat(text, p, 1000, s, e) != pst::regexmatchlimit) continue;
            ++costly;
            EXPECT_TRUE(watch.told.count(p)) << pattern << " at " << p;
        }
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(costly, 100);
}

// The callout at the start of every pattern changes neither what compiles
// nor what matches: after the settings only a pattern's start may hold, and
// whatever the pattern's own callouts.
TEST(budget, theWatchChangesNoCompileAndNoCount) {
    struct watched {
        const char* pattern;
        int count;  // in the text below; -1 when it does not compile
    };
    const char* text = "ab abc\r\nAB x)(y *a";
    const watched cases[] = {
        {"(*CRLF)(*LIMIT_MATCH=100000)ab", 2},
        {"(*UTF8)a", 3},
        {"(?i)AB|x", 4},
        {"(?C1)ab(?C255)", 2},
        {"*a", -1},
        {"a)(b", -1},
        {"\\Qx)(", 1},
        {"(?x)a b # c", 2},
        {"(*FAIL)|ab", 2},
        {"^ab", 1},
        {"(*COMMIT)b", 2},
        {"(*", -1},
    };
    for (const watched& w : cases) {
        std::string message;
        int offset = 0;
        EXPECT_EQ(pst::regexcompileerror(w.pattern, message, offset), w.count < 0) << w.pattern;
        for (const pst::watch how : {pst::watch::none, pst::watch::starts, pst::watch::items})
            EXPECT_EQ(pst::compileregex(w.pattern, how) == nullptr, w.count < 0) << w.pattern;
        if (w.count >= 0) {
            EXPECT_EQ(countmatches(text, w.pattern, 0), w.count) << w.pattern;
        }
    }
    testgen::generator gen(7);
    for (int i = 0; i < 500; ++i) {
        const std::string p = gen.pattern();
        std::string message;
        int offset = 0;
        const bool fails = pst::regexcompileerror(p.c_str(), message, offset);
        for (const pst::watch how : {pst::watch::none, pst::watch::starts, pst::watch::items})
            EXPECT_EQ(pst::compileregex(p.c_str(), how) == nullptr, fails) << p;
    }
}

TEST(budget, defaultsAreConsistent) {
    const pst::searchlimits d = pst::searchlimits::defaults();
    EXPECT_GE(d.search, d.guaranteed);
    EXPECT_GE(d.message, d.search);
    const result r = evaluate("10 cheap\n8 \\bfree\\s+money\\b\n4 [0-9]+% off\n",
                              "CHEAP cheap, free money, 90% off\n", false, d);
    EXPECT_EQ(r.out.result, 2 * 10 + 2 * 10 + 8 + 4);  // "CHEAP" once more in capitals
    EXPECT_EQ(r.cuts, 0);
}

}  // namespace
