#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "generator.h"
#include "testutil.h"

namespace {

testutil::output ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BLOCKLISTCTL};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::runprocess(argv);
}

TEST(blocklistctl, checkReportsEveryFinding) {
    if (std::string(REGEX_BACKEND) != "pcre")
        GTEST_SKIP() << "the expected compile messages are the classic library's";
    testutil::tempdir dir;
    const std::string rules =
        dir.file("r",
                 "10 cheap\n\nx\nfoo\n5\tfoo\n12abc bar\n99999999999 big\n0 zero\n# cheap stuff\n"
                 "1 crlf\r\n1 (\n5 (?i)deal\n10 Viagra\n=10 Viagra\n1 \\b\n1 \n1 (a+)+b\n"
                 "1 (?:x*y)*z\n3 cheap\n5 \\d+ DOLLARS\\b\n=5 \\d+ DOLLARS\\b\n1 a\\Bc\n"
                 "1 free.*money\n1 (?=ab\\K)\n");
    const auto before = std::filesystem::last_write_time(rules);
    const auto o = ctl({"check", rules});
    const std::string r = rules + ":";
    const std::string nested =
        ": warning: nested unbounded repetition: catastrophic backtracking on hostile mail\n";
    const std::string onlyempty =
        ": warning: the pattern can only match the empty string: it never counts\n";
    EXPECT_EQ(o.out,
              r + "2: note: empty line (ignored)\n" + r +
                  "3: warning: no space between weight and pattern: the line is ignored\n" + r +
                  "4: warning: no space between weight and pattern: the line is ignored\n" + r +
                  "5: warning: a tab separates weight and pattern, but only a space does: the "
                  "line is ignored\n" +
                  r + "6: warning: weight '12abc' is not a plain integer: it reads as 12\n" + r +
                  "7: warning: weight 99999999999 is out of range: it is clamped to "
                  "2147483647\n" +
                  r + "8: warning: weight 0: the rule is evaluated only in debug mode\n" + r +
                  "9: warning: this looks like a comment, but there is no comment syntax: it is "
                  "a rule of weight 0 and pattern 'cheap stuff'\n" +
                  r +
                  "10: warning: the pattern ends in a carriage return (CR-LF line ends): it "
                  "almost never matches\n" +
                  r + "11: error: the pattern does not compile: missing ) at offset 1\n" + r +
                  "12: error: the upper-cased pattern '(?I)DEAL' does not compile (unrecognized "
                  "character after (? or (?-): every hit reports a compile error\n" +
                  r +
                  "13: warning: capital letter 'V' can never match: the text is folded to lower "
                  "case (write it in lower case, or mark the rule exact with '=')\n" +
                  r + "14: warning: the same pattern as on line 13\n" + r + "15" + onlyempty + r +
                  "16" + onlyempty + r + "17" + nested + r + "18" + nested + r +
                  "19: warning: the same pattern as on line 1\n" + r +
                  "20: warning: capital letter 'D' can never match: the text is folded to lower "
                  "case (write it in lower case, or mark the rule exact with '=')\n" +
                  r + "21: warning: the same pattern as on line 20\n" + r +
                  "23: warning: an unbounded repeat of a broad class with more pattern after it: "
                  "its work grows with the square of the message size on hostile mail, until the "
                  "search's budget ends it\n" +
                  r +
                  "24: error: \\K inside a lookaround: a match can end before it starts, and "
                  "counting stops there (rex_rc -100)\n" +
                  rules + ": 24 lines, 3 errors, 18 warnings\n");
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.err, "");
    // It only reads.
    EXPECT_EQ(std::filesystem::last_write_time(rules), before);
}

TEST(blocklistctl, exitStatusAndErrors) {
    testutil::tempdir dir;
    const auto clean = ctl({"check", dir.file("clean", "10 cheap\n=5 \\bPills\\b\n")});
    EXPECT_EQ(clean.result, 0);
    EXPECT_EQ(clean.out, dir.path() + "/clean: 2 lines, 0 errors, 0 warnings\n");
    EXPECT_EQ(ctl({"check", dir.file("warn", "0 cheap\n")}).result, 1);

    const auto missing = ctl({"check", dir.path() + "/none"});
    EXPECT_EQ(missing.result, 66);
    EXPECT_EQ(missing.err,
              "blocklistctl: cannot read " + dir.path() + "/none: No such file or directory\n");
    const auto bad = ctl({"frobnicate"});
    EXPECT_EQ(bad.result, 64);
    EXPECT_NE(bad.err.find("usage: blocklistctl"), std::string::npos);
    const auto help = ctl({"--help"});
    EXPECT_EQ(help.result, 0);
    EXPECT_NE(help.out.find("usage: blocklistctl"), std::string::npos);
}

}  // namespace

namespace {

TEST(blocklistctl, explainShowsWhy) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n=5 pills\nfoo\n-1 \\bnothing\\b\n");
    const std::string message =
        dir.file("m", "From: a\nSubject: [SPAM] CHEAP pills\n\ncheap Cheap pills\n");
    const auto o = ctl({"explain", message, "--rules", rules});
    EXPECT_EQ(o.out,
              "subject line: \"Subject:  CHEAP pills\" (counted three times)\n"
              "body: 18 bytes; scan text: 84 bytes\n"
              "line 1: cheap  weight 10  found 5  3 in capitals  +110  score 110\n"
              "line 2: pills  weight 5  found 4  exact-case  +20  score 130\n"
              "score: 130\n");
    EXPECT_EQ(o.result, 0);
    const auto missing = ctl({"explain", dir.path() + "/none", "--rules", rules});
    EXPECT_EQ(missing.result, 66);
    EXPECT_EQ(missing.out, "");
}

// explain's score is the plugin's, on a generated corpus.
TEST(blocklistctl, explainScoresAsThePluginDoes) {
    testgen::generator gen(99);
    testutil::tempdir dir;
    const std::string rulefile = std::string(TREE_CONFDIR) + "/blocklist.local";
    for (int i = 0; i < 40; ++i) {
        const std::string rules = gen.rules();
        const std::string message = dir.file("m", gen.message());
        testutil::writefile(rulefile, rules);
        const auto plugin = testutil::runprocess({PLUGIN_EXE, "-scan", "a", "b", "c", message});
        const auto explain = ctl({"explain", message, "--rules", rulefile});
        const size_t last = explain.out.rfind("score: ");
        ASSERT_NE(last, std::string::npos);
        EXPECT_EQ(explain.out.substr(last + 7), plugin.out) << rules;
        EXPECT_EQ(explain.err, plugin.err) << rules;
    }
    std::remove(rulefile.c_str());
}

}  // namespace

namespace {

TEST(blocklistctl, statsReport) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n5 free money\n1 never\n=2 old one\nx\n");
    const std::string stats =
        dir.file("STATS",
                 "1000000000 old one\n4102444800 cheap\n12345\n1500000000 free money\n"
                 "1600000000 gone rule\n1400000000 cheap\n");
    const std::string before = testutil::readfile(stats);
    const auto o = ctl({"stats", "--stale", "30", "--rules", rules, "--stats", stats});
    EXPECT_EQ(o.out,
              "rules with a recorded hit, newest first (3):\n"
              "  2100-01-01 00:00:00 UTC  cheap\n"
              "  2017-07-14 02:40:00 UTC  free money\n"
              "  2001-09-09 01:46:40 UTC  old one\n"
              "rules never recorded (1):\n"
              "  never\n"
              "rules not hit for 30 days (2):\n"
              "  2017-07-14 02:40:00 UTC  free money\n"
              "  2001-09-09 01:46:40 UTC  old one\n"
              "recorded patterns no longer in the rule file (1):\n"
              "  2020-09-13 12:26:40 UTC  gone rule\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(testutil::readfile(stats), before);  // it only reads

    const auto nostale = ctl({"stats", "--rules", rules, "--stats", stats});
    EXPECT_EQ(nostale.out.find("not hit for"), std::string::npos);
    const auto missing = ctl({"stats", "--rules", rules, "--stats", dir.path() + "/none"});
    EXPECT_EQ(missing.result, 66);
}

// The command line: options anywhere, --opt=value, numbers checked, the
// option at fault named, usage errors and unreadable files told apart from
// findings.
TEST(blocklistctl, commandLine) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string message = dir.file("m", "Subject: x\n\ncheap\n");
    const std::string empty = dir.file("empty", "");
    struct clicase {
        std::vector<std::string> args;
        int status;
        std::string outhas, errhas;
    };
    const clicase cases[] = {
        {{"explain", message, "--rules", rules}, 0, "score: 10\n", ""},
        {{"explain", "--rules", rules, message}, 0, "score: 10\n", ""},
        {{"explain", "--rules=" + rules, message}, 0, "score: 10\n", ""},
        {{"check", "--help"}, 0, "usage: blocklistctl", ""},
        {{"stats", "-h"}, 0, "usage: blocklistctl", ""},
        {{"--version"}, 0, "blocklistctl 1.4.3\n", ""},
        {{"check", empty}, 1, "the rule file is empty", ""},
        {{"check", dir.path()}, 66, "", "not a regular file"},
        {{"stats", "--stale", "soon"}, 64, "", "--stale needs a number of days"},
        {{"stats", "--stale", "9999999999999999999"}, 64, "", "not '9999999999999999999'"},
        {{"stats", "--stale", "-1"}, 64, "", "--stale needs a number of days"},
        {{"stats", "--stale"}, 64, "", "option '--stale' needs a value"},
        {{"stats", "--bogus", "x"}, 64, "", "unknown option '--bogus'"},
        {{"explain"}, 64, "", "wrong number of operands for explain"},
        {{}, 64, "", "no command"},
    };
    for (const auto& c : cases) {
        const auto o = ctl(c.args);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(o.result, c.status) << what;
        EXPECT_NE(o.out.find(c.outhas), std::string::npos) << what << o.out;
        EXPECT_NE(o.err.find(c.errhas), std::string::npos) << what << o.err;
    }
}

}  // namespace
