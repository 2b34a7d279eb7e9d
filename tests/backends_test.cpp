// The two regular-expression libraries on generated rule files and messages:
// every rule must give the same output bytes, except where the libraries'
// pattern languages differ, which the README lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "generator.h"
#include "testutil.h"

namespace {

testutil::output evaluate(const char* evaluator, const std::string& rules,
                          const std::string& message, int debug) {
    return testutil::runprocess({evaluator, rules, message, std::to_string(debug)});
}

TEST(backends, sameOutputExceptDocumentedDifferences) {
    testgen::generator gen(7);
    testutil::tempdir dir;
    int cases = 0, differing = 0;
    std::map<std::string, int> patterns;  // differing rule lines
    for (int i = 0; i < 120; ++i) {
        gen.setcrlf(i % 10 == 9);
        const std::string message = dir.file("message", gen.message());
        const std::string rules = gen.rules();
        const int debug = gen.debug();
        // Rule by rule, so that a difference names its pattern.
        size_t pos = 0;
        while (pos < rules.size()) {
            const size_t end = rules.find('\n', pos);
            const std::string line = rules.substr(pos, end - pos + 1);
            pos = end == std::string::npos ? rules.size() : end + 1;
            const std::string rulefile = dir.file("rules", line);
            const auto a = evaluate(EVALUATOR_A, rulefile, message, debug);
            const auto b = evaluate(EVALUATOR_B, rulefile, message, debug);
            ++cases;
            if (a.out != b.out || a.err != b.err || a.result != b.result) {
                ++differing;
                ++patterns[line];
            }
        }
    }
    std::printf("%d of %d rule evaluations differ between the libraries\n", differing, cases);
    for (const auto& [line, n] : patterns) std::printf("  %dx %s", n, line.c_str());
    EXPECT_EQ(differing, 0);
    EXPECT_GT(cases, 1000);
}

// The differences the README lists: each must still be one.
TEST(backends, documentedDifferencesInThePatternLanguage) {
    testutil::tempdir dir;
    const std::string message = dir.file("message", "A: b\n\nfoo bar\n");
    for (const char* pattern :
         {"(?n)(foo)", "(?^)foo", "(*LIMIT_HEAP=100)foo", "(?*foo)f", "(?x) f o o"}) {
        const std::string rules = dir.file("rules", std::string("1 ") + pattern + "\n");
        const auto a = evaluate(EVALUATOR_A, rules, message, 2);
        const auto b = evaluate(EVALUATOR_B, rules, message, 2);
        EXPECT_NE(a.out, b.out) << pattern;
    }
}

}  // namespace
