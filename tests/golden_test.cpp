// Golden transcripts: each tests/golden/NAME.args runs the plugin or
// blocklistctl and compares its standard output, standard error and exit
// status with NAME.out, NAME.err and NAME.rc. GOLDEN_UPDATE=1 writes them
// instead, from what the programs do now: review the diff before committing.
//
// NAME.args: the program ("plugin" or "blocklistctl"), then one argument a
// line, in which @RULES@, @EML@ and @STATS@ name NAME.rules, NAME.eml and
// NAME.stats, @DIR@ a scratch directory and @GOLDEN@ this directory; NAME.stdin, when present, is
// the standard input. For the plugin NAME.rules becomes its rule file (none
// without it) and NAME.debug, when present, its debug marker. The paths are
// written back as @RULES@ ... in the outputs. NAME.backend names the one
// regular-expression library whose messages the case expects.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plugintree.h"

namespace {

namespace fs = std::filesystem;
const fs::path golden = GOLDEN_DIR;

std::vector<std::string> cases() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(golden))
        if (e.path().extension() == ".args") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    if (at < text.size()) out.push_back(text.substr(at));
    return out;
}

void replaceall(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

class transcript : public testing::TestWithParam<std::string> {};

TEST_P(transcript, matches) {
    const std::string name = GetParam();
    auto file = [&](const char* ext) { return (golden / (name + ext)).string(); };
    std::vector<std::string> args = lines(testutil::readfile(file(".args")));
    ASSERT_FALSE(args.empty());
    const std::string program = args.front();
    args.erase(args.begin());
    if (testutil::exists(file(".backend")) &&
        lines(testutil::readfile(file(".backend"))).at(0) !=
            (program == "plugin" ? REGEX_BACKEND : TOOL_BACKEND))
        GTEST_SKIP() << "the expected messages are another library's";
    testutil::tempdir dir;
    // A statistics file is read from a spool of the mail user's, as the
    // README sets it up: nobody's when the suite runs as root.
    const std::string stats = dir.path() + "/spool/STATS";
    if (testutil::exists(file(".stats"))) {
        ASSERT_EQ(::mkdir((dir.path() + "/spool").c_str(), 0755), 0);
        testutil::writefile(stats, testutil::readfile(file(".stats")));
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(stats.c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chown((dir.path() + "/spool").c_str(), 65534, 65534), 0);
        }
    }
    const std::vector<std::pair<std::string, std::string>> names = {{"@RULES@", file(".rules")},
                                                                    {"@EML@", file(".eml")},
                                                                    {"@STATS@", stats},
                                                                    {"@DIR@", dir.path()},
                                                                    {"@GOLDEN@", golden.string()}};
    testutil::runoptions options;
    if (testutil::exists(file(".stdin"))) options.stdinfile = file(".stdin");
    for (std::string& a : args)
        for (const auto& [from, to] : names) replaceall(a, from, to);

    plugintree::scope tree;
    std::vector<std::string> argv;
    if (program == "plugin") {
        if (testutil::exists(file(".rules")))
            testutil::writefile(plugintree::rulefile, testutil::readfile(file(".rules")));
        if (testutil::exists(file(".debug"))) testutil::writefile(plugintree::debugmarker, "");
        argv = plugintree::command(args);
    } else {
        ASSERT_EQ(program, "blocklistctl");
        argv = {BLOCKLISTCTL};
        argv.insert(argv.end(), args.begin(), args.end());
    }
    testutil::output o = testutil::runprocess(argv, options);
    ASSERT_EQ(o.signal, 0);
    for (std::string* s : {&o.out, &o.err})
        for (const auto& [placeholder, path] : names) replaceall(*s, path, placeholder);
    const std::string rc = std::to_string(o.result) + "\n";

    if (std::getenv("GOLDEN_UPDATE")) {
        testutil::writefile(file(".out"), o.out);
        testutil::writefile(file(".err"), o.err);
        testutil::writefile(file(".rc"), rc);
        return;
    }
    EXPECT_EQ(o.out, testutil::readfile(file(".out")));
    EXPECT_EQ(o.err, testutil::readfile(file(".err")));
    EXPECT_EQ(rc, testutil::readfile(file(".rc")));
}

INSTANTIATE_TEST_SUITE_P(golden, transcript, testing::ValuesIn(cases()), [](const auto& info) {
    std::string n = info.param;
    std::replace(n.begin(), n.end(), '-', '_');
    return n;
});

}  // namespace
