// Suggested weights on corpora where the right answer is known, the rule
// file they are written into, and the held-out verdict.
#include "corpus/suggest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using pst::sample;

// count messages of one set, each hit once by each of the given rules.
void add(std::vector<sample>& out, bool spam, int count, std::vector<size_t> rules,
         int before = 0) {
    for (int i = 0; i < count; ++i) {
        sample s;
        s.spam = spam;
        s.before = before;
        for (const size_t r : rules) s.effects.emplace_back(r, 1);
        out.push_back(s);
    }
}

int weightof(const pst::suggestion& s, int line) {
    for (const auto& r : s.rules)
        if (r.line == line) return r.after;
    ADD_FAILURE() << "no rule on line " << line;
    return 0;
}

constexpr int threshold = 10;

TEST(suggest, knownAnswers) {
    // Rule 0 (line 1) hits only spam, rule 1 (line 2) only ham, rules 2 and 3
    // (lines 3, 4) always together on other spam. Every weight starts at 1:
    // all spam is below the threshold.
    std::vector<sample> samples;
    add(samples, true, 30, {0}, 1);
    add(samples, false, 30, {1}, 1);
    add(samples, true, 30, {2, 3}, 2);
    add(samples, false, 30, {});
    const std::vector<std::pair<int, int>> rules = {{1, 1}, {2, 1}, {3, 1}, {4, 1}};
    const pst::suggestion s = pst::suggestweights(samples, rules, {threshold, 10, 5, 1});

    EXPECT_GE(weightof(s, 1), threshold) << "every spam it hits must reach the threshold";
    EXPECT_LE(weightof(s, 2), 0) << "a rule that hits only ham must not add to a score";
    EXPECT_EQ(weightof(s, 3), weightof(s, 4)) << "rules that always hit together share";
    EXPECT_GE(weightof(s, 3) + weightof(s, 4), threshold);
    EXPECT_EQ(s.before.falsenegatives, 60);
    EXPECT_EQ(s.after.falsepositives, 0);
    EXPECT_EQ(s.after.falsenegatives, 0);
    EXPECT_EQ(s.heldafter.falsenegatives, 0);
    EXPECT_EQ(s.verdict, pst::heldoutverdict::gain);
    EXPECT_EQ(s.improved, 60);

    // The same corpus gives the same suggestion.
    const pst::suggestion again = pst::suggestweights(samples, rules, {threshold, 10, 5, 1});
    for (size_t i = 0; i < s.rules.size(); ++i) EXPECT_EQ(again.rules[i].after, s.rules[i].after);
    EXPECT_EQ(again.heldafter.falsepositives, s.heldafter.falsepositives);
}

TEST(suggest, heldOutVerdicts) {
    struct verdictcase {
        const char* name;
        int hams, spams;
        int weight;  // of the one rule, which hits every spam once
        pst::heldoutverdict expected;
    };
    const verdictcase cases[] = {
        {"too few messages", 5, 5, 1, pst::heldoutverdict::toosmall},
        {"19 ham is still too few", 19, 40, 1, pst::heldoutverdict::toosmall},
        {"nothing to mend", 30, 30, threshold, pst::heldoutverdict::noise},
        {"every spam mended", 30, 30, 1, pst::heldoutverdict::gain},
    };
    for (const auto& c : cases) {
        std::vector<sample> samples;
        add(samples, false, c.hams, {});
        add(samples, true, c.spams, {0}, c.weight);
        const pst::suggestion s =
            pst::suggestweights(samples, {{1, c.weight}}, {threshold, 10, 5, 1});
        EXPECT_EQ(s.verdict, c.expected) << c.name;
    }
}

// A message whose rule hits ten million times: no weight may make its
// score wrap.
TEST(suggest, weightsStayWhereNoScoreWraps) {
    std::vector<sample> samples;
    add(samples, true, 30, {0});
    samples[0].effects[0].second = 10'000'000;
    add(samples, false, 30, {1});
    const pst::suggestion s = pst::suggestweights(samples, {{1, 1}, {2, 1}}, {threshold, 10, 5, 1});
    EXPECT_EQ(s.bound, 214);
    for (const auto& r : s.rules) EXPECT_LE(std::abs(r.after), s.bound);
}

TEST(suggest, onlyTheWeightsOfTheRuleFileChange) {
    struct rewritecase {
        std::string in;
        int before, after;
        std::string out;
    };
    const rewritecase cases[] = {
        {"10 cheap\n", 10, 12, "12 cheap\n"}, {"=5 pills\n", 5, -3, "=-3 pills\n"},
        {"\t7 a\n", 7, 9, "\t9 a\n"},         {"+5 a", 5, -2, "-2 a"},
        {"12abc x\n", 12, 15, "15abc x\n"},   {"3 x\r\n", 3, 4, "4 x\r\n"},
        {"3 same\n", 3, 3, "3 same\n"},
    };
    for (const auto& c : cases) {
        const std::string text = "# a comment\n" + c.in + (c.in.ends_with('\n') ? "1 last\n" : "");
        const std::string expected =
            "# a comment\n" + c.out + (c.in.ends_with('\n') ? "1 last\n" : "");
        EXPECT_EQ(pst::rewriteweights(text, {{2, c.before, c.after, 0, 0}}), expected) << c.in;
    }
}

// The written rule file, given to --compare, moves exactly the messages the
// suggestion mends across the threshold.
TEST(suggest, theWrittenFileIsWhatCompareMeasures) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "# tuned\n1 winner\n1 meeting\n2 never\n");
    const std::string hamdir = dir.path() + "/ham", spamdir = dir.path() + "/spam";
    ASSERT_EQ(::mkdir(hamdir.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(spamdir.c_str(), 0755), 0);
    for (int i = 0; i < 25; ++i) {
        testutil::writefile(hamdir + "/" + std::to_string(i), "Subject: hi\n\nthe meeting\n");
        testutil::writefile(spamdir + "/" + std::to_string(i), "Subject: hi\n\nyou are a winner\n");
    }
    const std::string written = dir.path() + "/suggested";
    const auto suggested = testutil::runprocess(
        {BLOCKLISTCTL, "corpus", "--format=json", "--rules", rules, "--ham", hamdir, "--spam",
         spamdir, "--threshold", "10", "--suggest", "--write", written});
    ASSERT_EQ(suggested.result, 0) << suggested.err;
    const auto doc = nlohmann::json::parse(suggested.out)["suggestion"];
    EXPECT_EQ(doc["current"]["false_negatives"], 25);
    EXPECT_EQ(doc["suggested"]["false_negatives"], 0);
    EXPECT_EQ(doc["written"], written);

    // Line by line, only the weights differ; "never" hit nothing and keeps 2.
    const auto before = testutil::readfile(rules), after = testutil::readfile(written);
    std::vector<std::string> a, b;
    for (const auto* text : {&before, &after}) {
        auto& lines = text == &before ? a : b;
        size_t at = 0;
        for (size_t nl; (nl = text->find('\n', at)) != std::string::npos; at = nl + 1) {
            std::string line = text->substr(at, nl - at);
            const size_t space = line.find(' ');
            lines.push_back(space == std::string::npos ? line : line.substr(space));
        }
    }
    EXPECT_EQ(a, b);
    EXPECT_NE(after.find("\n2 never\n"), std::string::npos);

    const auto compared =
        testutil::runprocess({BLOCKLISTCTL, "corpus", "--rules", rules, "--ham", hamdir, "--spam",
                              spamdir, "--threshold", "10", "--compare", written});
    ASSERT_EQ(compared.result, 0) << compared.err;
    size_t moved = 0;
    for (size_t at = 0; (at = compared.out.find("now at or above 10", at)) != std::string::npos;
         ++at)
        ++moved;
    EXPECT_EQ(moved, 25u);
    EXPECT_EQ(compared.out.find("now below"), std::string::npos);

    // Never over the rule file itself, and the options belong to --suggest.
    EXPECT_EQ(testutil::runprocess({BLOCKLISTCTL, "corpus", "--rules", rules, "--ham", hamdir,
                                    "--threshold", "10", "--suggest", "--write", rules})
                  .result,
              64);
    EXPECT_EQ(testutil::runprocess(
                  {BLOCKLISTCTL, "corpus", "--rules", rules, "--ham", hamdir, "--suggest"})
                  .result,
              64);
    EXPECT_EQ(testutil::readfile(rules), before);
    // Nor through a link or over a directory.
    const std::string other = dir.file("other", "kept\n");
    ASSERT_EQ(::symlink(other.c_str(), (dir.path() + "/link").c_str()), 0);
    for (const std::string& target : {dir.path() + "/link", hamdir}) {
        const auto refused = testutil::runprocess(
            {BLOCKLISTCTL, "corpus", "--rules", rules, "--ham", hamdir, "--spam", spamdir,
             "--threshold", "10", "--suggest", "--write", target});
        EXPECT_EQ(refused.result, 73) << target;
        EXPECT_NE(refused.err.find("it is not a regular file"), std::string::npos) << target;
    }
    EXPECT_EQ(testutil::readfile(other), "kept\n");
}

}  // namespace
