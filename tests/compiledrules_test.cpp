// The compiled form of a rule file: used only whole and only when it fits the
// rule file exactly; whatever is wrong with it, the evaluation gives the same
// bytes as without it.
#include "rules/compiledrules.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "counting/regexbackend.h"
#include "counting/search.h"
#include "evaluate.h"
#include "forgery.h"
#include "rules/rulefile.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

using forgery::put;
using forgery::reseal;

const std::string rules =
    "10 cheap\n"
    "5 \\bfree\\s+money\\b\n"
    "\n"
    "3 [a-z]+ deal\n"
    "4 pi.{0,20}st\n"
    "=2 Viagra\n"
    "1 (unclosed\n"
    "0 weightless\n"
    "7 (?i)nothing here\n"
    "2 (a|b)+zz\n";

// A rule file's lines as the plugin reads them.
struct linesof {
    explicit linesof(const std::string& content) { pst::takerulelines(f, content); }
    pst::rulefile f;
};

TEST(compiledrules, recordsEachRuleOfTheFile) {
    const linesof read(rules);
    const pst::rulefile& f = read.f;
    testutil::tempdir dir;
    const std::string path = dir.file("rules.compiled", pst::compiledrules::make(f));
    pst::sysio sys;
    pst::compiledrules form;
    std::string why;
    ASSERT_TRUE(form.load(sys, path.c_str(), f, why)) << why;
    struct row {
        int line;
        bool rule, compiles;
        bool skippable;
        std::vector<std::string> required;
    } rows[] = {
        {1, true, true, true, {"cheap"}},
        {2, true, true, true, {"money"}},
        {3, false, false, false, {}},
        {4, true, true, true, {" deal"}},
        {5, true, true, true, {"pi"}},
        {6, true, true, true, {"Viagra"}},
        {7, true, false, false, {}},            // does not compile: always compiled again
        {8, true, true, true, {"weightless"}},  // weight 0: counted in debug mode
        {9, true, true, false, {}},             // options: outside the analysed class
        {10, true, true, false, {}},            // a repeated group
    };
    for (const row& r : rows) {
        pst::ruleplan plan;
        ASSERT_EQ(form.planfor(r.line, plan), r.rule) << r.line;
        if (!r.rule) continue;
        EXPECT_EQ(plan.compiles, r.compiles) << r.line;
        EXPECT_EQ(plan.skippable, r.skippable) << r.line;
        std::vector<std::string> required;
        for (uint32_t i = plan.first; i < plan.first + plan.count; ++i)
            required.emplace_back(form.literal(i));
        if (r.skippable) {
            EXPECT_EQ(required, r.required) << r.line;
        }
    }
    pst::ruleplan plan;
    EXPECT_FALSE(form.planfor(0, plan));
    EXPECT_FALSE(form.planfor(11, plan));
}

// Every way a form can be wrong is refused as a whole, with its reason.
TEST(compiledrules, aFormThatDoesNotFitIsRefused) {
    const linesof read(rules);
    const pst::rulefile& f = read.f;
    const std::string good = pst::compiledrules::make(f, false);
    testutil::tempdir dir;
    struct row {
        const char* what;
        std::function<void(const std::string& path)> make;
        const char* reason;
    } rows[] = {
        {"missing", [](const std::string&) {}, "No such file or directory"},
        {"empty", [&](const std::string& p) { testutil::writefile(p, ""); },
         "it is not a compiled rule set"},
        {"cut short",
         [&](const std::string& p) { testutil::writefile(p, good.substr(0, good.size() / 2)); },
         "it is damaged or cut short"},
        {"one byte less",
         [&](const std::string& p) { testutil::writefile(p, good.substr(0, good.size() - 1)); },
         "it is damaged or cut short"},
        {"a byte flipped",
         [&](const std::string& p) {
             std::string b = good;
             b[b.size() / 3] ^= 0x10;
             testutil::writefile(p, b);
         },
         "it is damaged or cut short"},
        {"another rule file's",
         [&](const std::string& p) {
             testutil::writefile(p, pst::compiledrules::make(linesof("10 cheap\n5 other\n").f));
         },
         "it was made from another rule file"},
        {"the rule file edited",
         [&](const std::string& p) {
             std::string edited = rules;
             edited[0] = '9';
             testutil::writefile(p, pst::compiledrules::make(linesof(edited).f));
         },
         "it was made from another rule file"},
        {"a symbolic link",
         [&](const std::string& p) {
             testutil::writefile(p + ".real", good);
             ASSERT_EQ(::symlink((p + ".real").c_str(), p.c_str()), 0);
         },
         "it is a symbolic link"},
        {"a directory", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0); },
         "it is not a regular file"},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
         "it is not a regular file"},
        {"far larger than a form of this file",
         [&](const std::string& p) { testutil::writefile(p, good + std::string(1 << 20, 'x')); },
         "it is too large to be one"},
    };
    // A form whose hash is right but whose last record points past its
    // literals: made by hand, as no compile makes one.
    auto pointingout = [&](const std::string& p) {
        std::string b = good;
        const size_t last = forgery::recordat(b, f.lines.size(), f.lines.size());
        b[last] = 7;  // a rule that compiles and may be left out
        put<uint32_t>(b, last + offsetof(forgery::record, first), 0xFFFFFFF0u);
        reseal(b);
        testutil::writefile(p, b);
    };
    const std::string handmade = dir.path() + "/handmade";
    pointingout(handmade);
    {
        pst::sysio sys;
        pst::compiledrules form;
        std::string why;
        EXPECT_FALSE(form.load(sys, handmade.c_str(), f, why));
        EXPECT_EQ(why, "it is damaged");
    }
    int n = 0;
    for (const row& r : rows) {
        const std::string path = dir.path() + "/form" + std::to_string(n++);
        r.make(path);
        pst::sysio sys;
        pst::compiledrules form;
        std::string why;
        EXPECT_FALSE(form.load(sys, path.c_str(), f, why)) << r.what;
        EXPECT_NE(why.find(r.reason), std::string::npos) << r.what << ": " << why;
        pst::ruleplan plan;
        EXPECT_FALSE(form.planfor(1, plan)) << r.what;
    }
}

// A read that fails partway leaves the form unused.
class failingreads : public pst::sysio {
   protected:
    bool fails(pst::sysop op) override {
        if (op != pst::sysop::read) return false;
        errno = EIO;
        return true;
    }
};

TEST(compiledrules, aFailedReadIsARefusal) {
    const linesof read(rules);
    const pst::rulefile& f = read.f;
    testutil::tempdir dir;
    const std::string path = dir.file("rules.compiled", pst::compiledrules::make(f));
    failingreads sys;
    pst::compiledrules form;
    std::string why;
    EXPECT_FALSE(form.load(sys, path.c_str(), f, why));
    EXPECT_EQ(why, "Input/output error");
}

// The evaluation with a fitting form leaves out the rules whose literals the
// message lacks, and gives the same bytes; with a form that does not fit it
// leaves out nothing.
TEST(compiledrules, theEvaluationLeavesOutOnlyWithAFittingForm) {
    testutil::tempdir dir;
    const std::string r = dir.file("rules", rules);
    const std::string m = dir.file("message", "Subject: Cheap deal\n\nfree  money, a big deal\n");
    const std::string form =
        dir.file("rules.compiled", pst::compiledrules::make(linesof(rules).f, false));
    const std::string stale =
        dir.file("stale.compiled", pst::compiledrules::make(linesof(rules + "1 x\n").f, false));
    for (const int debug : {0, 2}) {
        auto run = [&](const char* compiled, int& leftout) {
            pst::evalprofile profile;
            pst::evaloptions options;
            options.compiledrules = compiled;
            options.profile = &profile;
            const auto out = testutil::capture(
                [&] { return pst::evaluate(r.c_str(), m.c_str(), debug, nullptr, options); });
            leftout = profile.leftout;
            return out;
        };
        int none = 0, fitting = 0, unfit = 0;
        const auto plain = run(nullptr, none);
        const auto with = run(form.c_str(), fitting);
        const auto withstale = run(stale.c_str(), unfit);
        for (const auto* o : {&with, &withstale}) {
            EXPECT_EQ(o->out, plain.out) << debug;
            EXPECT_EQ(o->err, plain.err) << debug;
            EXPECT_EQ(o->result, plain.result) << debug;
        }
        // The rule that does not compile is still reported.
        EXPECT_NE((plain.out + plain.err).find("(unclosed"), std::string::npos) << debug;
        EXPECT_EQ(none, 0);
        EXPECT_EQ(unfit, 0);
        // pi.{0,20}st and Viagra, and weightless in debug mode.
        EXPECT_EQ(fitting, debug ? 3 : 2) << debug;
    }
}

// The questions a form asks read the text as a search does, and are charged
// to the message's budget like one: once it is spent the form is asked
// nothing more, and the rules are counted as without it, with the same
// output.
TEST(compiledrules, theFormsQuestionsAreChargedToTheMessage) {
    // Every three bytes of "qrsx" occur in the text, "qrsx" does not: each
    // rule's question reads the whole text.
    std::string body = "Subject: s\n\n";
    while (body.size() < 300'000) body += "qrsy rsx ";
    std::string text;
    const int rules = 200;
    for (int i = 0; i < rules; ++i) text += "1 qrsx\\d\n";
    testutil::tempdir dir;
    const std::string r = dir.file("rules", text);
    const std::string m = dir.file("message", body);
    const std::string form =
        dir.file("rules.compiled", pst::compiledrules::make(linesof(text).f, false));
    auto run = [&](const char* compiled, uint64_t message, int& leftout) {
        pst::searchlimits limits = pst::searchlimits::defaults();
        limits.message = message;
        pst::evalprofile profile;
        pst::evaloptions options;
        options.compiledrules = compiled;
        options.profile = &profile;
        options.limits = &limits;
        const auto out = testutil::capture(
            [&] { return pst::evaluate(r.c_str(), m.c_str(), 1, nullptr, options); });
        leftout = profile.leftout;
        return out;
    };
    int none = 0, ample = 0, scant = 0;
    const uint64_t millisecond = 1'000'000;
    const auto plain = run(nullptr, 8000 * millisecond, none);
    EXPECT_EQ(run(form.c_str(), 8000 * millisecond, ample).out, plain.out);
    // Over a millisecond a question: the budget lasts for a few rules.
    const auto cut = run(form.c_str(), 5 * millisecond, scant);
    EXPECT_EQ(ample, rules);
    EXPECT_GT(scant, 0);
    EXPECT_LT(scant, rules / 2);
    EXPECT_EQ(cut.out, plain.out);
    EXPECT_EQ(cut.err, plain.err);
    EXPECT_EQ(cut.result, plain.result);
}

// Whoever can write the form decides the scores: it is used only when owned
// by root or the rule file's owner, writable by neither group nor others, in
// a directory no more open; otherwise it is refused as if absent.
TEST(compiledrules, aFormIsTrustedNoFurtherThanTheRuleFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "gives files away, which needs root";
    const linesof read(rules);
    struct row {
        const char* what;
        mode_t formmode, dirmode;
        uid_t formowner, dirowner;
        const char* why;  // empty when the form is used
    };
    const row rows[] = {
        {"root's, 0644", 0644, 0755, 0, 0, ""},
        {"root's, 0600", 0600, 0700, 0, 0, ""},
        {"in a sticky directory open to all", 0644, 01777, 0, 0, ""},
        {"writable by group", 0664, 0755, 0, 0, "writable by group or others"},
        {"writable by others", 0646, 0755, 0, 0, "writable by group or others"},
        {"another user's", 0644, 0755, 65534, 0, "owned by another user"},
        {"in a directory open to all", 0644, 0777, 0, 0, "its directory is writable"},
        {"in another user's directory", 0644, 0755, 0, 65534, "its directory is owned"},
    };
    for (const row& r : rows) {
        testutil::tempdir dir;
        const std::string path = dir.file("rules.compiled", pst::compiledrules::make(read.f));
        ASSERT_EQ(::chmod(path.c_str(), r.formmode), 0);
        ASSERT_EQ(::chown(path.c_str(), r.formowner, 0), 0);
        ASSERT_EQ(::chmod(dir.path().c_str(), r.dirmode), 0);
        ASSERT_EQ(::chown(dir.path().c_str(), r.dirowner, 0), 0);
        pst::sysio sys;
        pst::compiledrules form;
        std::string why;
        EXPECT_EQ(form.load(sys, path.c_str(), read.f, why), *r.why == '\0') << r.what;
        EXPECT_NE(why.find(r.why), std::string::npos) << r.what << ": " << why;
        EXPECT_EQ(::chmod(dir.path().c_str(), 0700), 0);
        EXPECT_EQ(::chown(dir.path().c_str(), 0, 0), 0);
    }
}

// Forms edited and sealed again, as a forger would: each asks the message
// for work that no form compile writes would, and is refused.
TEST(compiledrules, aFormOfForgedRangesIsRefused) {
    std::string text;
    for (int i = 0; i < 4; ++i) text += "1 zq00000" + std::to_string(i) + "\n";
    const linesof read(text);
    const std::string honest = pst::compiledrules::make(read.f, false);
    using forgery::indexat;
    using forgery::literalentry;
    using forgery::record;
    auto recordof = [](const std::string& f, size_t line) { return forgery::recordat(f, 4, line); };
    struct row {
        const char* what;
        std::function<void(std::string&)> forge;
    };
    const row rows[] = {
        {"a record sharing the literals of the rule before",
         [&](std::string& f) { put<uint32_t>(f, recordof(f, 2) + offsetof(record, first), 0); }},
        {"a record asking for more literals",
         [&](std::string& f) { put<uint32_t>(f, recordof(f, 1) + offsetof(record, count), 4); }},
        {"two literals in the same bytes of the pool",
         [&](std::string& f) { put<uint32_t>(f, indexat(1) + offsetof(literalentry, offset), 0); }},
        {"a literal longer than its line could give",
         [&](std::string& f) {
             put<uint32_t>(f, indexat(0) + offsetof(literalentry, length), 2000);
             put<uint32_t>(f, indexat(1) + offsetof(literalentry, offset), 2000);
         }},
    };
    testutil::tempdir dir;
    pst::sysio sys;
    pst::compiledrules form;
    std::string why;
    ASSERT_TRUE(form.load(sys, dir.file("honest", honest).c_str(), read.f, why)) << why;
    std::string resealed = honest;
    reseal(resealed);
    ASSERT_EQ(resealed, honest);  // the seal is the form's own
    for (const row& r : rows) {
        std::string forged = honest;
        r.forge(forged);
        reseal(forged);
        ASSERT_NE(forged, honest) << r.what;
        EXPECT_FALSE(form.load(sys, dir.file("forged", forged).c_str(), read.f, why)) << r.what;
        EXPECT_NE(why, "it is damaged or cut short") << r.what;
    }
}

}  // namespace
