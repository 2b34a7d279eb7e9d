#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generator.h"
#include "testutil.h"

namespace {

testutil::output ctl(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    std::vector<std::string> argv{BLOCKLISTCTL};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::runoptions options;
    options.stdinfile = input;
    return testutil::runprocess(argv, options);
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
                  r + "11:4: error: the pattern does not compile: missing )\n" + r +
                  "12:5: error: the upper-cased pattern '(?I)DEAL' does not compile "
                  "(unrecognized character after (? or (?-): every hit reports a compile "
                  "error\n" +
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
    const auto json = nlohmann::json::parse(ctl({"check", "--format=json", rules}).out);
    EXPECT_EQ(json["errors"], 3);
    EXPECT_EQ(json["warnings"], 18);
    EXPECT_EQ(json["findings"].size(), 22u);
    EXPECT_EQ(json["findings"][9]["line"], 11);
    EXPECT_EQ(json["findings"][9]["column"], 4);
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
        // The JSON report carries the same score and the same hits.
        const auto json = nlohmann::json::parse(
            ctl({"explain", "--format=json", message, "--rules", rulefile}).out);
        EXPECT_EQ(std::to_string(json["score"].get<int>()) + "\n", plugin.out) << rules;
        size_t hits = 0;
        for (size_t at = 0; (at = explain.out.find("\nline ", at)) != std::string::npos; ++at)
            ++hits;
        EXPECT_EQ(json["hits"].size(), hits) << rules;
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

    // The statistics of several servers merge: the latest time per pattern.
    const std::string other = dir.file("STATS2", "4102444801 cheap\n1700000000 never\n");
    const auto merged = ctl({"stats", "--rules", rules, "--stats", stats, "--stats", other});
    EXPECT_EQ(merged.out.substr(0, merged.out.find("rules never")),
              "rules with a recorded hit, newest first (4):\n"
              "  2100-01-01 00:00:01 UTC  cheap\n"
              "  2023-11-14 22:13:20 UTC  never\n"
              "  2017-07-14 02:40:00 UTC  free money\n"
              "  2001-09-09 01:46:40 UTC  old one\n");

    const auto json = nlohmann::json::parse(
        ctl({"stats", "--format=json", "--stale=30", "--rules", rules, "--stats", stats}).out);
    EXPECT_EQ(json["recorded"][0]["pattern"], "cheap");
    EXPECT_EQ(json["recorded"][0]["latest"], 4102444800LL);
    EXPECT_EQ(json["recorded"][0]["line"], 1);
    EXPECT_EQ(json["never"][0]["line"], 3);
    EXPECT_EQ(json["stale"]["rules"].size(), 2u);
    EXPECT_EQ(json["orphaned"][0]["pattern"], "gone rule");

    const auto nostale = ctl({"stats", "--rules", rules, "--stats", stats});
    EXPECT_EQ(nostale.out.find("not hit for"), std::string::npos);
    const auto missing = ctl({"stats", "--rules", rules, "--stats", dir.path() + "/none"});
    EXPECT_EQ(missing.result, 66);
}

// The plugin renames its new statistics file into the directory: a directory
// the file's owner cannot write records nothing, and stats says so.
TEST(blocklistctl, statsWarnsOfAnUnwritableDirectory) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string spool = dir.path() + "/spool";
    ASSERT_EQ(::mkdir(spool.c_str(), 0755), 0);
    const std::string stats = spool + "/STATS";
    testutil::writefile(stats, "100 cheap\n");
    EXPECT_EQ(ctl({"stats", "--rules", rules, "--stats", stats}).err, "");
    // Owned by another user (root can write anywhere), or a directory
    // without write permission.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(root ? ::chown(stats.c_str(), 65534, 65534) : ::chmod(spool.c_str(), 0555), 0);
    const auto o = ctl({"stats", "--rules", rules, "--stats", stats});
    ::chmod(spool.c_str(), 0755);
    EXPECT_EQ(o.result, 0);
    EXPECT_NE(o.err.find("warning: " + spool + " is not writable by "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("the plugin cannot record hits there"), std::string::npos);
}

// The command line: options anywhere, --opt=value, numbers checked, the
// option at fault named, usage errors and unreadable files told apart from
// findings.
TEST(blocklistctl, commandLine) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string message = dir.file("m", "Subject: x\n\ncheap\n");
    const std::string empty = dir.file("empty", "");
    const std::string stats = dir.file("STATS", "100 cheap\n");
    struct clicase {
        std::vector<std::string> args;
        int status;
        std::string outhas, errhas;
        std::string input = "/dev/null";
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
        // "-" is standard input, read once.
        {{"check", "-"}, 0, "-: 1 lines, 0 errors, 0 warnings\n", "", rules},
        {{"explain", "--rules", "-", message}, 0, "score: 10\n", "", rules},
        {{"explain", "--rules", rules, "-"}, 0, "score: 10\n", "", message},
        {{"stats", "--rules", rules, "--stats", "-"},
         0,
         "1970-01-01 00:01:40 UTC  cheap",
         "",
         stats},
        {{"explain", "--rules", "-", "-"}, 64, "", "can be read only once"},
        // One rule without a rule file.
        {{"explain", "--rule", "=3 cheap", message}, 0, "line 1: cheap  weight 3", ""},
        {{"explain", "--rule=1 (", message}, 0, "score: 0\n", "Regexp compile error on ("},
        {{"explain", "--rule", "3 x", "--rules", rules, message}, 64, "", "exclude each other"},
        {{"check", "--rule", "3 x"}, 64, "", "--rule is for explain"},
        {{"check", "--format=xml"}, 64, "", "--format is text or json, not 'xml'"},
        {{"stats", "--rules", rules, "--stats", dir.path() + "/none"}, 66, "", "recording is off"},
    };
    for (const auto& c : cases) {
        const auto o = ctl(c.args, c.input);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(o.result, c.status) << what;
        EXPECT_NE(o.out.find(c.outhas), std::string::npos) << what << o.out;
        EXPECT_NE(o.err.find(c.errhas), std::string::npos) << what << o.err;
    }
}

}  // namespace
