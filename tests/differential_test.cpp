// The fast evaluation against the straightforward one on generated rule files
// and messages: every output byte must be the same.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "generator.h"
#include "internal.h"
#include "search.h"
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

// The fast path under the plugin's budget; the straightforward one, the
// reference, under none.
run evaluateonce(const testutil::tempdir& dir, const std::string& message, const std::string& rules,
                 int debug, bool straightforward) {
    const std::string m = dir.file("message", message), r = dir.file("rules", rules);
    const std::string s = dir.file("STATS", "");
    run result;
    pst::evaloptions options;
    options.straightforward = straightforward;
    pst::searchlimits unlimited = pst::searchlimits::defaults();
    unlimited.search = unlimited.guaranteed = unlimited.message = UINT64_MAX;
    if (straightforward) options.limits = &unlimited;
    options.profile = &result.profile;
    result.out = testutil::capture(
        [&] { return pst::evaluate(r.c_str(), m.c_str(), debug, s.c_str(), options); });
    result.stats = withouttimes(testutil::readfile(s));
    return result;
}

TEST(differential, fastAndStraightforwardAgreeOnEveryByte) {
    testgen::generator gen(20261208);
    testutil::tempdir dir;
    int hits = 0, diagnostics = 0;
    for (int i = 0; i < 150; ++i) {
        gen.setcrlf(i % 10 == 9);
        const std::string message = gen.message(), rules = gen.rules();
        const int debug = gen.debug();
        const auto t0 = std::chrono::steady_clock::now();
        const run fast = evaluateonce(dir, message, rules, debug, false);
        const run slow = evaluateonce(dir, message, rules, debug, true);
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (secs > 2) std::printf("slow case %d: %.2fs\n%s\n", i, secs, rules.c_str());
        ASSERT_EQ(fast.profile.budgetcuts, 0) << "case " << i << "\n" << rules;
        ASSERT_EQ(fast.out.result, slow.out.result) << "case " << i << "\n" << rules;
        ASSERT_EQ(fast.out.out, slow.out.out) << "case " << i << "\n" << rules;
        ASSERT_EQ(fast.out.err, slow.out.err) << "case " << i << "\n" << rules;
        ASSERT_EQ(fast.stats, slow.stats) << "case " << i << "\n" << rules;
        hits += !slow.stats.empty();
        diagnostics += !slow.out.err.empty() || slow.out.out.find("#Error") != std::string::npos;
    }
    // The corpus must exercise both hits and library errors to mean anything.
    EXPECT_GT(hits, 50);
    EXPECT_GT(diagnostics, 20);
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
        const run fast = evaluateonce(dir, message, rules, debug, false);
        const run slow = evaluateonce(dir, message, rules, debug, true);
        EXPECT_EQ(fast.profile.budgetcuts, 0);
        EXPECT_EQ(fast.out.result, slow.out.result);
        EXPECT_EQ(fast.out.out, slow.out.out);
        EXPECT_EQ(fast.out.err, slow.out.err);
        EXPECT_EQ(fast.stats, slow.stats);
    }
}

}  // namespace
