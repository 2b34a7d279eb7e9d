// The fast evaluation against the straightforward one on generated rule files
// and messages: every output byte must be the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "counting/search.h"
#include "evaluate.h"
#include "fastpath/prefilter.h"
#include "generator.h"
#include "holders.h"
#include "rules/compiledrules.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "ruleset.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

struct run {
    testutil::output out;
    std::string stats;
    pst::evalprofile profile;
};

// Times in the statistics file differ between two runs; the rest may not.
std::string withouttimes(const std::string& stats) {
    std::string out;
    bool attimes = true;
    for (const char c : stats) {
        if (attimes && c >= '0' && c <= '9') continue;
        attimes = c == '\n';
        out += c;
    }
    return out;
}

enum class path { straightforward, fast, primed, compiled, unfiltered, shared };
constexpr path quick[] = {path::fast, path::primed, path::compiled, path::unfiltered, path::shared};

// Every path under the plugin's budget. "primed" is the fast path with the literals of
// all rules found in one pass whatever the sizes; "compiled" the fast path with
// the compiled form of the rule file beside it, and "unfiltered" with a form
// without the prefilter; "shared" the rules read once
// and kept compiled, as corpus scores, the message scored for the second time.
run evaluateonce(const testutil::tempdir& dir, const std::string& message, const std::string& rules,
                 int debug, path how) {
    const std::string m = dir.file("message", message), r = dir.file("rules", rules);
    const std::string s = dir.file("STATS", "");
    run result;
    pst::evaloptions options;
    options.straightforward = how == path::straightforward;
    pst::searchlimits limits = pst::searchlimits::defaults();
    if (how == path::primed) limits.primedtext = limits.primedliterals = 0;
    options.limits = &limits;
    options.profile = &result.profile;
    std::string compiled;
    if (how == path::compiled || how == path::unfiltered) {
        pst::rulefile f;
        pst::takerulelines(f, rules);
        compiled = dir.file("rules.compiled", pst::compiledrules::make(f, how == path::compiled));
        options.compiledrules = compiled.c_str();
    }
    if (how == path::shared) {
        const pst::fdholder rulefd(pst::openforreading(r.c_str()));
        pst::sysio sys;
        const pst::ruleset kept(sys, rulefd.get(), {.keepcompiled = true});
        for (int time = 0; time < 2; ++time) {
            testutil::writefile(s, "");
            const pst::fdholder messagefd(pst::openforreading(m.c_str()));
            result.out = testutil::capture(
                [&] { return pst::evaluate(kept, messagefd.get(), debug, s.c_str(), options); });
        }
    } else {
        result.out = testutil::capture(
            [&] { return pst::evaluate(r.c_str(), m.c_str(), debug, s.c_str(), options); });
    }
    result.stats = withouttimes(testutil::readfile(s));
    return result;
}

// Under the plugin's budget nothing generated here comes near it: every
// path gives the straightforward output, with no search cut short.
void expectsame(const run& a, const run& b, const std::string& what) {
    EXPECT_EQ(a.profile.budgetcuts, 0) << what;
    EXPECT_EQ(b.profile.budgetcuts, 0) << what;
    EXPECT_EQ(a.out.result, b.out.result) << what;
    EXPECT_EQ(a.out.out, b.out.out) << what;
    EXPECT_EQ(a.out.err, b.out.err) << what;
    EXPECT_EQ(a.stats, b.stats) << what;
}

TEST(differential, everyPathAgreesOnEveryByte) {
    testgen::generator gen(20261208);
    testutil::tempdir dir;
    int hits = 0, diagnostics = 0, leftout = 0;
    for (int i = 0; i < 200; ++i) {
        gen.setcrlf(i % 10 == 9);
        const std::string message = gen.message(), rules = gen.rules();
        const int debug = gen.debug();
        const run slow = evaluateonce(dir, message, rules, debug, path::straightforward);
        for (const path how : quick) {
            const run fast = evaluateonce(dir, message, rules, debug, how);
            expectsame(fast, slow, "case " + std::to_string(i) + "\n" + rules);
            leftout += fast.profile.leftout;
            if (::testing::Test::HasFailure()) return;
        }
        hits += !slow.stats.empty();
        diagnostics += !slow.out.err.empty() || slow.out.out.find("#Error") != std::string::npos;
    }
    // The corpus must exercise both hits and library errors to mean anything.
    EXPECT_GT(hits, 70);
    EXPECT_GT(diagnostics, 25);
    // And the compiled form must have left rules out.
    EXPECT_GT(leftout, 100);
}

// Large texts, where the shortcuts and the work bound matter most.
TEST(differential, largeTextsAndCatastrophicPatterns) {
    testutil::tempdir dir;
    const std::string runs = std::string(300000, 'a') + "\n" + std::string(2000, 'z') + " cheap " +
                             std::string(100000, ' ') + "end\n";
    const std::string message = "Subject: [x] CHEAP Deal\n\n" + runs;
    // Each of these either skips its search on this text or must not: ".*.*="
    // and "[a-z]*[a-z]*q" hold a literal the text lacks, but the library
    // would fail with its match limit, and so must the fast path.
    const std::string rules =
        "1 (a+)+b\n1 a.*a.*c\n1 [a-z]*[a-z]*q\n1 .*.*=\n1 cheap\n"
        "1 \\bdeal\\b\n1 deal.{0,20}x\n1 zq|qz\n1 x{0,5}y{0,5}w\n1 [0-9]+q\n"
        "1 z\\s+cheap\n1 (?:zz|aa)\\s+ch\n";
    for (int debug : {0, 2}) {
        const run slow = evaluateonce(dir, message, rules, debug, path::straightforward);
        for (const path how : quick)
            expectsame(evaluateonce(dir, message, rules, debug, how), slow,
                       "debug " + std::to_string(debug));
    }
}

// Rules written by people, on generated messages with their words in: the
// form with its prefilter leaves most of them out, and every byte is the
// same as without it.
TEST(differential, realRulesAgreeWithAndWithoutThePrefilter) {
    const std::string rules = testutil::readfile(POSTSENTINEL_REAL_RULES);
    if (rules.empty()) GTEST_SKIP() << "no converted rules at " POSTSENTINEL_REAL_RULES;
    testgen::generator gen(20261211);
    testutil::tempdir dir;
    const char* const words[] = {"urgent assistance", "bank of nigeria", "click here", "<a href=x>",
                                 "dear beneficiary",  "viagra",          "100% FREE"};
    int leftout = 0, hits = 0;
    for (int i = 0; i < 12; ++i) {
        std::string message = gen.message() + "\n";
        for (int w = 0; w < i % 4; ++w) message += std::string(words[(i + w) % 7]) + " ";
        const int debug = i % 2 ? 2 : 0;
        const run slow = evaluateonce(dir, message, rules, debug, path::straightforward);
        for (const path how : {path::compiled, path::unfiltered}) {
            const run fast = evaluateonce(dir, message, rules, debug, how);
            expectsame(fast, slow, "message " + std::to_string(i));
            if (how == path::compiled) leftout += fast.profile.leftout;
        }
        hits += !slow.stats.empty();
    }
    EXPECT_GT(hits, 3);
    if (pst::prefilteravailable()) {
        EXPECT_GT(leftout, 12 * 400);
    }
}

}  // namespace
