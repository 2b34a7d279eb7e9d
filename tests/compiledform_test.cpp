// The real plugin beside a compiled form of its rule file: whatever the form
// is (fitting, cut short, damaged, stale, another file's, a link, a FIFO, a
// directory, unreadable), every byte the host reads is that of the plugin
// without one, and the scan never waits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "forgery.h"
#include "plugintree.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "testutil.h"

namespace {

const std::string rules =
    "10 cheap\n"
    "5 \\bfree\\s+money\\b\n"
    "3 [a-z]+ deal\n"
    "4 pi.{0,20}st\n"
    "=2 Viagra\n"
    "1 (unclosed\n"
    "0 weightless\n"
    "2 (a|b)+zz\n"
    "6 \\d+ off\n";
const std::string message =
    "Subject: CHEAP deal, 50 off\n\nfree  money and a cheap deal, 20 off\nabzz\n";

// Without the prefilters, whose bytes the forgeries here would have to
// step over, unless asked for.
std::string formof(const std::string& content, bool prefilters = false) {
    pst::rulefile f;
    pst::takerulelines(f, content);
    return pst::compiledrules::make(f, prefilters);
}

const std::string form = plugintree::rulefile + ".compiled";

void reset() {
    ::unlink(form.c_str());
    ::rmdir(form.c_str());
}

struct result {
    testutil::output out;
    std::string stats;
};

// One scan as the mail user (nobody, when the test runs as root), in debug
// mode or not, with the statistics recording.
result scanonce(bool debug, const std::string& body = message) {
    testutil::runoptions options;
    options.asnobody = true;
    testutil::writefile(plugintree::statsfile, "");
    if (::geteuid() == 0) {
        // The mail user's spool, as an installation has it.
        EXPECT_EQ(::chown(plugintree::spooldir.c_str(), 65534, 65534), 0);
        EXPECT_EQ(::chown(plugintree::statsfile.c_str(), 65534, 65534), 0);
    }
    if (debug)
        testutil::writefile(plugintree::debugmarker, "");
    else
        ::unlink(plugintree::debugmarker.c_str());
    testutil::tempdir dir;
    const std::string m = dir.file("message", body);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(m.c_str(), 0644);
    result r{plugintree::scan(m, options), testutil::readfile(plugintree::statsfile)};
    // The times of the hits differ from scan to scan.
    for (char& c : r.stats)
        if (c >= '0' && c <= '9') c = '0';
    return r;
}

TEST(compiledform, noFormChangesWhatTheHostReads) {
    plugintree::scope tree(rules);
    struct row {
        const char* what;
        std::function<void()> make;
    } rows[] = {
        {"fitting", [] { testutil::writefile(form, formof(rules)); }},
        {"cut short",
         [] {
             const std::string f = formof(rules);
             testutil::writefile(form, f.substr(0, f.size() - 9));
         }},
        {"a byte flipped",
         [] {
             std::string f = formof(rules);
             f[f.size() / 2] ^= 1;
             testutil::writefile(form, f);
         }},
        {"the rule file edited after",
         [] { testutil::writefile(form, formof("1 pills\n" + rules)); }},
        {"another rule file's", [] { testutil::writefile(form, formof("10 other\n")); }},
        {"a symbolic link",
         [] {
             testutil::writefile(form + ".real", formof(rules));
             ASSERT_EQ(::symlink((form + ".real").c_str(), form.c_str()), 0);
         }},
        {"a FIFO", [] { ASSERT_EQ(::mkfifo(form.c_str(), 0644), 0); }},
        {"a directory", [] { ASSERT_EQ(::mkdir(form.c_str(), 0755), 0); }},
        {"unreadable",
         [] {
             testutil::writefile(form, formof(rules));
             ASSERT_EQ(::chmod(form.c_str(), 0), 0);
         }},
        {"not a form", [] { testutil::writefile(form, rules); }},
    };
    for (const bool debug : {false, true}) {
        reset();
        const result plain = scanonce(debug);
        ASSERT_EQ(plain.out.result, 0) << plain.out.err;
        ASSERT_NE(plain.stats, "");
        for (const row& r : rows) {
            reset();
            ::unlink((form + ".real").c_str());
            r.make();
            const result with = scanonce(debug);
            EXPECT_EQ(with.out.result, plain.out.result) << r.what;
            EXPECT_EQ(with.out.signal, 0) << r.what;
            EXPECT_EQ(with.out.out, plain.out.out) << r.what << (debug ? " (debug)" : "");
            EXPECT_EQ(with.out.err, plain.out.err) << r.what;
            EXPECT_EQ(with.stats, plain.stats) << r.what;
        }
        ::unlink((form + ".real").c_str());
    }
    reset();
    if (::geteuid() == 0) {
        EXPECT_EQ(::chown(plugintree::spooldir.c_str(), 0, 0), 0);
    }
}

// Whoever can write the form decides the scores: a forged form (one literal
// changed and the form sealed again) changes them when the plugin trusts it,
// and is ignored as if absent wherever someone other than the rule file's
// owner or root could have written it.
TEST(compiledform, aFormOthersCouldWriteIsIgnored) {
    plugintree::scope tree(rules);
    std::string forged = formof(rules);
    const size_t at = forged.find("cheap");
    ASSERT_NE(at, std::string::npos);
    forged.replace(at, 5, "zzzzz");
    forgery::reseal(forged);
    struct row {
        const char* what;
        mode_t mode;
        uid_t owner;
        const char* why;  // what check says; empty where the form is trusted
    };
    const row rows[] = {
        {"root's", 0644, 0, ""},
        {"writable by group", 0664, 0, "writable by group or others"},
        {"writable by others", 0666, 0, "writable by group or others"},
        {"the mail user's", 0644, 65534, "owned by another user than the rule file"},
        {"another user's", 0600, 1, "owned by another user than the rule file"},
    };
    const bool root = ::geteuid() == 0;
    for (const bool debug : {false, true}) {
        reset();
        const result plain = scanonce(debug);
        for (const row& r : rows) {
            if (r.owner != 0 && !root) continue;
            testutil::writefile(form, forged);
            ASSERT_EQ(::chmod(form.c_str(), r.mode), 0);
            if (root) {
                ASSERT_EQ(::chown(form.c_str(), r.owner, 0), 0);
            }
            const result with = scanonce(debug);
            if (*r.why == '\0') {
                // The forgery tells: trusted, it leaves "cheap" out.
                EXPECT_NE(with.out.out, plain.out.out) << r.what;
                continue;
            }
            EXPECT_EQ(with.out.result, plain.out.result) << r.what;
            EXPECT_EQ(with.out.out, plain.out.out) << r.what << (debug ? " (debug)" : "");
            EXPECT_EQ(with.out.err, plain.out.err) << r.what;
            EXPECT_EQ(with.stats, plain.stats) << r.what;
            if (std::string(REGEX_BACKEND) == TOOL_BACKEND && !debug) {
                const auto check =
                    testutil::runprocess({BLOCKLISTCTL, "check", plugintree::rulefile});
                EXPECT_NE(check.out.find("warning: the plugin does not use the compiled form " +
                                         form + ": it is " + r.why),
                          std::string::npos)
                    << r.what << ": " << check.out;
            }
        }
    }
    reset();
    if (root) {
        EXPECT_EQ(::chown(plugintree::spooldir.c_str(), 0, 0), 0);
    }
}

// A form whose records all ask for the same literals, sealed again: the
// plugin refuses it at once and scores as without it.
TEST(compiledform, aFormOfSharedRangesIsRefused) {
    std::string text;
    const size_t lines = 200;
    for (size_t i = 0; i < lines; ++i) text += "1 zq" + std::to_string(100000 + i) + "\n";
    plugintree::scope tree(text);
    std::string forged = formof(text);
    for (size_t line = 2; line <= lines; ++line)
        forgery::put<uint32_t>(
            forged, forgery::recordat(forged, lines, line) + offsetof(forgery::record, first), 0);
    forgery::reseal(forged);
    reset();
    // Trusted, the form would leave out the rules that hit.
    const std::string hits = "Subject: zq100150\n\nzq100199, zq100007\n";
    const result plain = scanonce(true, hits);
    ASSERT_NE(plain.out.out.find("zq100199"), std::string::npos);
    testutil::writefile(form, forged);
    const result with = scanonce(true, hits);
    EXPECT_EQ(with.out.result, plain.out.result);
    EXPECT_EQ(with.out.out, plain.out.out);
    EXPECT_EQ(with.out.err, plain.out.err);
    EXPECT_EQ(with.stats, plain.stats);
    reset();
    if (::geteuid() == 0) {
        EXPECT_EQ(::chown(plugintree::spooldir.c_str(), 0, 0), 0);
    }
}

// What a killed compile leaves is a regular file of its name; anything
// else of such a name is neither reported nor removed.
TEST(compiledform, onlyAKilledCompilesFileIsTakenForItsLeftover) {
    if (std::string(REGEX_BACKEND) != TOOL_BACKEND)
        GTEST_SKIP() << "blocklistctl uses another library";
    plugintree::scope tree(rules);
    // A process that has ended, for names no live process holds.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string name = form + ".new." + std::to_string(gone);
    const std::string dirname = name + "0", linkname = name + "1";
    testutil::writefile(name, "half a form");
    ASSERT_EQ(::mkdir(dirname.c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/etc/passwd", linkname.c_str()), 0);
    const auto check = testutil::runprocess({BLOCKLISTCTL, "check", plugintree::rulefile});
    EXPECT_NE(check.out.find(name + " was left by a compile that was killed"), std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.find(dirname + " was left"), std::string::npos) << check.out;
    EXPECT_EQ(check.out.find(linkname + " was left"), std::string::npos) << check.out;
    ASSERT_EQ(
        testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile}).result, 0);
    struct stat st {};
    EXPECT_NE(::lstat(name.c_str(), &st), 0);
    EXPECT_EQ(::lstat(dirname.c_str(), &st), 0);
    EXPECT_EQ(::lstat(linkname.c_str(), &st), 0);
    ::rmdir(dirname.c_str());
    ::unlink(linkname.c_str());
    reset();
}

// blocklistctl compile writes the form the plugin then uses, and check says
// whether it fits, and why not.
TEST(compiledform, compileAndCheckSayWhatThePluginDoes) {
    if (std::string(REGEX_BACKEND) != TOOL_BACKEND)
        GTEST_SKIP() << "blocklistctl uses another library";
    plugintree::scope tree(rules);
    reset();
    const auto compiled =
        testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile});
    ASSERT_EQ(compiled.result, 0) << compiled.err;
    EXPECT_NE(compiled.out.find(plugintree::rulefile + ": 9 lines compiled into " + form),
              std::string::npos)
        << compiled.out;
    EXPECT_EQ(testutil::readfile(form), formof(rules, true));
    auto check = [&] {
        return testutil::runprocess({BLOCKLISTCTL, "check", plugintree::rulefile}).out;
    };
    EXPECT_NE(check().find(plugintree::rulefile + ": note: the plugin uses the compiled form " +
                           form + "\n"),
              std::string::npos);
    // Edited after compiling: check says so, and how to mend it.
    testutil::writefile(plugintree::rulefile, rules + "1 more\n");
    EXPECT_NE(check().find(plugintree::rulefile +
                           ": warning: the plugin does not use the compiled form " + form +
                           ": it was made from another rule file, or before the rule file was "
                           "edited (run 'blocklistctl compile')\n"),
              std::string::npos)
        << check();
    // Compiling again replaces it, leaving no temporary file behind.
    ASSERT_EQ(
        testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile}).result, 0);
    EXPECT_NE(check().find("note: the plugin uses the compiled form"), std::string::npos);
    auto forms = [] {
        int entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(TREE_CONFDIR))
            entries += e.path().filename().string().rfind("blocklist.local.compiled", 0) == 0;
        return entries;
    };
    EXPECT_EQ(forms(), 1);
    // The form gets the rule file's mode less the write bits of group and
    // others; one that group or others may write is not used, and check
    // says why and how to mend it.
    ASSERT_EQ(::chmod(plugintree::rulefile.c_str(), 0664), 0);
    ASSERT_EQ(
        testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile}).result, 0);
    struct stat st {};
    ASSERT_EQ(::stat(form.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::chmod(form.c_str(), 0664), 0);
    EXPECT_NE(check().find(plugintree::rulefile +
                           ": warning: the plugin does not use the compiled form " + form +
                           ": it is writable by group or others, and whoever can write it "
                           "decides the scores; 'chmod go-w' mends it (run 'blocklistctl "
                           "compile')\n"),
              std::string::npos)
        << check();
    ASSERT_EQ(::chmod(form.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(plugintree::rulefile.c_str(), 0644), 0);
    // Killed at any step of writing and naming its new form, compile leaves
    // the old form, and at most its temporary file, which the next compile
    // removes; killed before the temporary file has a name, nothing else.
    if (::access("/usr/bin/strace", X_OK) == 0) {
        struct kill {
            const char* call;
            int leftover;  // entries beside the form after the kill
        };
        // Every call of writing and naming the form, in the order made.
        const kill kills[] = {{"unlink", 0}, {"fchown", 0}, {"write", 0}, {"fchmod", 0},
                              {"fsync", 0},  {"linkat", 0}, {"rename", 1}};
        int round = 0;
        for (const kill& k : kills) {
            const std::string before = testutil::readfile(form);
            testutil::writefile(plugintree::rulefile, rules + std::to_string(++round) + " again\n");
            const auto killed =
                testutil::runprocess({"/usr/bin/strace", "-qq", "-f", "-o", "/dev/null", "-e",
                                      std::string("inject=") + k.call + ":signal=KILL",
                                      BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile});
            EXPECT_EQ(killed.signal, SIGKILL) << k.call << killed.err;
            EXPECT_EQ(testutil::readfile(form), before) << k.call;
            EXPECT_EQ(forms(), 1 + k.leftover) << k.call;
            // check names what was left, and the plugin does not read it.
            EXPECT_EQ(check().find(" was left by a compile that was killed") != std::string::npos,
                      k.leftover > 0)
                << k.call;
            ASSERT_EQ(
                testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", plugintree::rulefile})
                    .result,
                0);
            EXPECT_EQ(forms(), 1) << "after " << k.call;
            EXPECT_NE(testutil::readfile(form), before) << k.call;
        }
    }
    // A form cannot be written beside standard input, nor where the
    // directory refuses it.
    EXPECT_EQ(testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", "-"}).result, 64);
    EXPECT_EQ(
        testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", "/nonexistent/rules"}).result,
        66);
    reset();
}

}  // namespace
