#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commandline.h"
#include "corpus/corpus.h"
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

// What check and stats print is in the golden transcripts; here, that they
// never write.
TEST(blocklistctl, checkAndStatsOnlyRead) {
    testutil::tempdir dir;
    const std::string rules = dir.file("r", "10 cheap\n1 (\n");
    const std::string stats = dir.file("STATS", "100 cheap\n");
    const auto before = std::filesystem::last_write_time(rules);
    const auto statsbefore = std::filesystem::last_write_time(stats);
    EXPECT_EQ(ctl({"check", rules}).result, 2);
    EXPECT_EQ(ctl({"stats", "--rules", rules, "--stats", stats}).result, 0);
    EXPECT_EQ(ctl({"explain", "--rules", rules, stats}).result, 0);
    EXPECT_EQ(std::filesystem::last_write_time(rules), before);
    EXPECT_EQ(std::filesystem::last_write_time(stats), statsbefore);
    EXPECT_EQ(testutil::readfile(stats), "100 cheap\n");
}

// The rewrite goes to standard output: one that a full disk cuts short is
// an error, never a rule file that passes for whole.
TEST(blocklistctl, fixCaseFailsWhereItsOutputCannotBeWritten) {
    testutil::tempdir dir;
    const std::string rules = dir.file("r", "5 (?i)deal\n");
    const auto o = testutil::runprocess(
        {"/bin/sh", "-c",
         std::string(BLOCKLISTCTL) + " check --fix-case " + rules + " >/dev/full"});
    EXPECT_EQ(o.result, 74);
    EXPECT_NE(o.err.find("cannot write the rule file: No space left on device"), std::string::npos)
        << o.err;
    EXPECT_EQ(ctl({"check", "--fix-case", rules}).out, "=5 deal\n");
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
    // A usage error is one line and where to look, not the whole help.
    const auto bad = ctl({"frobnicate"});
    EXPECT_EQ(bad.result, 64);
    EXPECT_EQ(bad.err, "blocklistctl: unknown command 'frobnicate'\nTry 'blocklistctl --help'\n");
    EXPECT_EQ(bad.out, "");
    const auto help = ctl({"--help"});
    EXPECT_EQ(help.result, 0);
    for (const char* command : {"check", "explain", "stats", "corpus"}) {
        EXPECT_NE(help.out.find("blocklistctl " + std::string(command) + " ["), std::string::npos);
        // A command's help is its own: its synopsis, and no other's.
        const auto one = ctl({command, "--help"});
        EXPECT_EQ(one.result, 0) << command;
        EXPECT_EQ(one.out.rfind("usage: blocklistctl " + std::string(command) + " [", 0), 0u)
            << one.out;
        EXPECT_EQ(one.out.find("       blocklistctl "), std::string::npos) << one.out;
        EXPECT_NE(one.out.find("Exit status:"), std::string::npos) << command;
    }
    // The defaults the help names are those the options take.
    EXPECT_NE(help.out.find("false negatives (" + std::to_string(pst::defaulthamcost) + ")"),
              std::string::npos);
    EXPECT_NE(ctl({"corpus", "--jobs", "0"}).err.find(" 1 to " + std::to_string(pst::maxjobs)),
              std::string::npos);
}

}  // namespace

namespace {

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

// The plugin renames its new statistics file into the directory: a directory
// the file's owner cannot write records nothing, and stats says so; so does a
// file and a directory that only root may write, as a plain "touch" by root
// makes them.
TEST(blocklistctl, statsWarnsOfAnUnwritableDirectory) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string spool = dir.path() + "/spool";
    ASSERT_EQ(::mkdir(spool.c_str(), 0755), 0);
    const std::string stats = spool + "/STATS";
    testutil::writefile(stats, "100 cheap\n");
    const std::string unwritable = "warning: " + spool + " is not writable by ";
    const std::string rootonly = "warning: " + stats + " and " + spool + " belong to root";
    if (::geteuid() != 0) {
        EXPECT_EQ(ctl({"stats", "--rules", rules, "--stats", stats}).err, "");
        ASSERT_EQ(::chmod(spool.c_str(), 0555), 0);
        const auto o = ctl({"stats", "--rules", rules, "--stats", stats});
        ::chmod(spool.c_str(), 0755);
        EXPECT_NE(o.err.find(unwritable), std::string::npos) << o.err;
        return;
    }
    struct owners {
        uid_t file, spool;
        std::string warning;  // empty: none
    };
    const owners cases[] = {
        {65534, 65534, ""},      // the mail user's, as the README sets it up
        {0, 65534, ""},          // the mail user replaces root's file
        {65534, 0, unwritable},  // the owner cannot create the new file
        {0, 0, rootonly},        // "touch STATS" as root
    };
    for (const owners& c : cases) {
        ASSERT_EQ(::chown(stats.c_str(), c.file, c.file), 0);
        ASSERT_EQ(::chown(spool.c_str(), c.spool, c.spool), 0);
        const auto o = ctl({"stats", "--rules", rules, "--stats", stats});
        EXPECT_EQ(o.result, 0);
        if (c.warning.empty()) {
            EXPECT_EQ(o.err, "") << c.file << " " << c.spool;
        } else {
            EXPECT_NE(o.err.find(c.warning), std::string::npos) << o.err;
            EXPECT_NE(o.err.find("cannot record hits there"), std::string::npos) << o.err;
        }
    }
    EXPECT_EQ(::chown(spool.c_str(), 0, 0), 0);
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
    // A FIFO without a writer: opening it as the plugin does never waits.
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
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
        {{"check", fifo}, 66, "", "not a regular file"},
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
        // A time that is no number is the earliest time, as the plugin takes it.
        {{"stats", "--rules", rules, "--stats", "-"},
         0,
         "  unreadable time  cheap\n",
         "",
         dir.file("damaged", "12x cheap\n")},
        {{"explain", "--rules", "-", "-"}, 64, "", "can be read only once"},
        // One rule without a rule file.
        {{"explain", "--rule", "=3 cheap", message}, 0, "line 1: cheap  weight 3", ""},
        {{"explain", "--rule=1 (", message}, 0, "score: 0\n", "Regexp compile error on ("},
        // The one rule is checked as check checks a line.
        {{"explain", "--rule", "10cheap", message},
         0,
         "score: 0\n",
         "--rule: warning: no space between weight and pattern: the line is ignored\n"},
        {{"explain", "--rule", "10 Cheap", message}, 0, "score: 0\n", "capital letter 'C'"},
        {{"explain", "--rule", "3 x", "--rules", rules, message}, 64, "", "exclude each other"},
        {{"check", "--rule", "3 x"}, 64, "", "--rule is for explain"},
        // Each option belongs to the commands the option table gives it.
        {{"check", "--ham", "x"},
         64,
         "",
         "blocklistctl: --ham, --spam, --threshold, --all, --compare, --plot, --buckets, --costs, "
         "--suggest, --ham-cost, --write and --jobs are for corpus\n"},
        {{"explain", "--stale", "3", message}, 64, "", "--stale is for stats"},
        {{"compile", "--stats", stats}, 64, "", "--stats is for stats"},
        // Given at its default value, an option is still given.
        {{"check", "--ham-cost", "10"}, 64, "", "are for corpus"},
        {{"corpus", "--ham-cost", "10", "--threshold", "5", message},
         64,
         "",
         "--ham-cost and --write are for --suggest"},
        {{"corpus", "--jobs", "0", message}, 64, "", "--jobs needs a number from 1 to "},
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

// The options a synopsis names, "--name", in order.
std::vector<std::string> optionsnamed(const std::string& synopsis) {
    std::vector<std::string> names;
    for (size_t at = 0; (at = synopsis.find("--", at)) != std::string::npos;) {
        size_t end = at + 2;
        while (end < synopsis.size() &&
               (std::isalnum(static_cast<unsigned char>(synopsis[end])) || synopsis[end] == '-'))
            ++end;
        names.push_back(synopsis.substr(at, end - at));
        at = end;
    }
    return names;
}

// The help's synopses are laid out by hand: each names only options its
// command takes, and every option that is not for all commands is named in
// the synopsis of each command it is for.
TEST(blocklistctl, theHelpNamesTheOptionsTheTableGives) {
    const unsigned all = (1u << std::size(pst::commands)) - 1;
    size_t named = 0;
    for (const pst::commandhelp& c : pst::commands) {
        const std::vector<std::string> taken = pst::optionsof(c.name);
        const std::vector<std::string> shown = optionsnamed(c.synopsis);
        named += shown.size();
        for (const std::string& name : shown)
            EXPECT_NE(std::find(taken.begin(), taken.end(), name), taken.end())
                << c.name << " does not take " << name;
        for (const pst::optionspec& o : pst::optiontable()) {
            const std::string name = std::string("--") + o.name;
            if (o.commands == all || std::find(taken.begin(), taken.end(), name) == taken.end())
                continue;
            EXPECT_NE(std::find(shown.begin(), shown.end(), name), shown.end())
                << c.name << "'s synopsis lacks " << name;
        }
    }
    EXPECT_GT(named, 20u);
}

}  // namespace

namespace {

// What the plugin would refuse, or what never ends, is refused at once with
// status 66: devices, FIFOs and directories as statistics or rule files.
TEST(blocklistctl, inputsThatAreNoRegularFilesAreRefused) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& odd : {std::string("/dev/zero"), fifo, dir.path()}) {
        const std::string refused = "blocklistctl: cannot read " + odd + ": not a regular file\n";
        const auto stats = ctl({"stats", "--rules", rules, "--stats", odd});
        EXPECT_EQ(stats.result, 66) << odd;
        EXPECT_EQ(stats.err, refused) << odd;
        const auto explain = ctl({"explain", "--rules", odd, message});
        EXPECT_EQ(explain.result, 66) << odd;
        EXPECT_EQ(explain.err, refused) << odd;
        EXPECT_EQ(explain.out, "") << odd;
    }
}

// A statistics file is read a block at a time: 512 MB (one line of NUL bytes
// after a record) costs neither its size in memory nor a wrong report.
TEST(blocklistctl, aHugeStatisticsFileIsReadInBoundedMemory) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string stats = dir.file("STATS", "1800000000 cheap\n");
    ASSERT_EQ(::truncate(stats.c_str(), off_t{512} << 20), 0);
    const auto o = ctl({"stats", "--rules", rules, "--stats", stats, "--format=json"});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_LT(o.maxrsskib, 64 * 1024);
    const auto report = nlohmann::json::parse(o.out);
    ASSERT_EQ(report["recorded"].size(), 1u);
    EXPECT_EQ(report["recorded"][0]["latest"], 1800000000);
    EXPECT_EQ(report["orphaned"].size(), 0u);
}

}  // namespace
