#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "evaluate.h"
#include "message/reader.h"
#include "rules/rule.h"
#include "scorelib.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

using namespace std::string_literals;

struct scorecase {
    const char* name;
    std::string message, rules;
    int debug;
    int score;
    std::string out;  // standard output, byte for byte
    std::string err = "";
};

testutil::output score(const testutil::tempdir& dir, const std::string& message,
                       const std::string& rules, int debug) {
    const std::string m = dir.file("message", message), r = dir.file("rules", rules);
    return testutil::capture([&] { return evalscore(r.c_str(), m.c_str(), debug); });
}

const std::string hello = "From: a@b\nTo: c@d\n\n";

TEST(evalscore, scoringTable) {
    const std::string longrule = "1 " + std::string(200, 'z') + "\n";
    const scorecase cases[] = {
        {"overview example", "From: a\nSubject: [list] Cheap pills\n\nHello there\n",
         "10 cheap\n=5 pills\n", 0, 45, ""},
        {"capitals earn twice more", hello + "CHEAP cheap Cheap\n", "10 cheap\n", 0, 50, ""},
        {"exact-case rule", hello + "CHEAP cheap Cheap\n", "=10 cheap\n", 0, 30, ""},
        {"no occurrence", hello + "nothing here\n", "10 cheap\n", 0, 0, ""},
        {"negative weight", hello + "foo FOO\n", "-3 foo\n", 0, -12, ""},
        {"capital in a rule never matches", hello + "Viagra\n", "10 Viagra\n", 0, 0, ""},
        {"folded body matches", hello + "Viagra\n", "10 viagra\n", 0, 10, ""},
        {"header lines are not matched", "X-Spam: cheap\n\nhello\n", "10 cheap\n", 0, 0, ""},
        {"no empty line: no body", "A: cheap\nB: cheap\n", "10 cheap\n", 0, 0, ""},
        {"message ending with its empty line", "A: cheap\n\n", "10 cheap\n", 0, 0, ""},
        {"lone newline after subject line", "Subject: foo\n", "1 foo\n1 foo\\n\n", 0, 3, ""},
        {"subject counts three times", "Subject: [SPAM] [list] cheap pills\n\nbody\n",
         "1 subject:   cheap pills\\n\n=1 spam|list\n", 0, 3, ""},
        {"last subject line counts", "Subject: one\nSubject: two\n\n\n", "1 one\n1 two\n", 0, 3,
         ""},
        {"subject after the header block is body", "A: b\n\nSubject: foo\n", "1 foo\n", 0, 1, ""},
        {"folded subject continuation", "Subject: foo\n bar\n\n", "1 foo\n1 bar\n", 0, 3, ""},
        {"crlf message is all header", "Subject: cheap\r\n\r\nbody cheap\r\n",
         "1 cheap\n1 body\n1 subject: cheap\\r\\n\n", 0, 6, ""},
        {"nul ends a body line", hello + "ab\0cheap\ncheap\n"s, "1 cheap\n1 ab\\n\n", 0, 1, ""},
        {"nul as second header byte ends the header", "X\0: y\ncheap\n"s, "1 cheap\n", 0, 1, ""},
        {"backslash keeps the next byte", hello + "A\\B\n", "1 a\\\\B\n", 0, 3, ""},
        {"weight zero skipped quietly", hello + "foo\n", "0 foo\n", 0, 0, ""},
        {"weight zero evaluated in debug", hello + "foo\n", "0 foo\n", 2, 0,
         "#Found 1 ocurrence(s) of foo, score=0\n"},
        {"comment-like line", hello + "foo bar\n", "# foo bar\n", 2, 0,
         "#Found 1 ocurrence(s) of foo bar, score=0\n"},
        {"debug lines carry the running score", hello + "cheap CHEAP pills\n",
         "10 cheap\n=5 pills\n1 absent\n", 2, 45,
         "#Found 2 ocurrence(s) of cheap, score=40\n#Found 1 ocurrence(s) of pills, score=45\n"},
        {"ignored lines", hello + "foo 5 x\n", "foo\n5\n5\tfoo\n5 \n\n= 5 x\n", 2, 0,
         "#Found 1 ocurrence(s) of 5 x, score=0\n"},
        {"crlf rule file", hello + "cheap\n", "1 cheap\r\n", 0, 0, ""},
        {"last rule line without newline", hello + "cheap\n", "1 x\n7 cheap", 0, 7, ""},
        {"rule longer than the message", "A\n\nzz\n", longrule, 0, 0, ""},
        {"upper-cased pattern that does not compile", hello + "deal DEAL\n", "5 (?i)deal\n", 0, 10,
         "", "#Error: Regexp compile error on (?I)DEAL\n"},
        {"compile error in debug goes to stdout", hello + "x\n", "5 (\n", 2, 0,
         "#Error: Regexp compile error on (\n"},
        {"weight clamps", hello + "a\n", "99999999999 a\n", 0, INT_MAX, ""},
        {"score wraps", hello + "a a\n", "2147483647 a\n", 0, -2, ""},
        {"one-byte message", "x", "1 x\n", 0, 0, ""},
        {"empty message", "", "1 (\n", 0, 0, ""},
        {"two-byte message split by the read bound", "ab", "1 a\n1 b\n", 0, 1, ""},
    };
    testutil::tempdir dir;
    for (const auto& c : cases) {
        const auto o = score(dir, c.message, c.rules, c.debug);
        EXPECT_EQ(o.result, c.score) << c.name;
        EXPECT_EQ(o.out, c.out) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
    }
}

TEST(evalscore, longRuleLineIsReadWhole) {
    testutil::tempdir dir;
    const std::string word(5000, 'q');
    const auto o = score(dir, hello + word + "\n", "1 " + word + "\n", 0);
    EXPECT_EQ(o.result, 1);
}

TEST(evalscore, unreadableInputs) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "1 a\n1 (\n");
    const std::string message = dir.file("message", hello + "a\n");
    auto run = [](const std::string& r, const std::string& m) {
        return testutil::capture([&] { return evalscore(r.c_str(), m.c_str(), 0); });
    };
    const auto missing = run(rules, dir.path() + "/none");
    EXPECT_EQ(missing.result, 0);
    EXPECT_EQ(missing.err, "Unable to open file.\n");
    // A directory opens but cannot be read: it is an empty message.
    const auto directory = run(rules, dir.path());
    EXPECT_EQ(directory.result, 0);
    EXPECT_EQ(directory.err,
              "#Error: Unable to read file for scanning.\n#Error: Regexp compile error on (\n");
    const auto norules = run(dir.path() + "/none", message);
    EXPECT_EQ(norules.result, 0);
    EXPECT_EQ(norules.err, "");
    const auto dirrules = run(dir.path(), message);
    EXPECT_EQ(dirrules.result, 0);
}

// A million short lines are gathered from large blocks, not read line by
// line: the reads are a count of blocks.
TEST(evalscore, largeMessageOfShortLinesIsReadInBlocks) {
    struct countingsys : pst::sysio {
        size_t reads = 0;
        bool fails(pst::sysop op) override {
            reads += op == pst::sysop::read;
            return false;
        }
    };
    testutil::tempdir dir;
    std::string body;
    body.reserve(21'000'000);
    for (int i = 0; i < 1'000'000; ++i) body += "line of mail " + std::to_string(i % 10) + "\n";
    body += "jackpot\n";
    const std::string message = dir.file("m", "Subject: x\n\n" + body);
    const std::string rules = dir.file("r", "2 jackpot\n");
    countingsys sys;
    pst::evaloptions options;
    options.system = &sys;
    EXPECT_EQ(pst::evaluate(rules.c_str(), message.c_str(), 0, nullptr, options), 2);
    const size_t blocks = (body.size() >> 16) + 1;
    EXPECT_LE(sys.reads, blocks + 4);
}

}  // namespace

namespace {

TEST(boundedreader, readsLikeFgetsAndNeverPastTheLimit) {
    testutil::tempdir dir;
    const std::string path = dir.file("f", "one\ntwo\nthree\nfour\n");
    struct step {
        size_t cap;
        std::string line;
        bool eof;
    };
    // Limit 13: "one\ntwo\nthree" is all there is; the rest of the file is
    // growth that must not be read.
    const step steps[] = {
        {100, "one\n", false}, {3, "tw", false}, {100, "o\n", false},
        {100, "three", true},  {100, "", true},
    };
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    pst::sysio sys;
    pst::boundedreader reader(sys, fd, 13);
    for (const auto& s : steps) {
        std::string buf(s.cap, 'X');
        reader.readline(buf.data(), s.cap);
        EXPECT_EQ(std::string(buf.c_str()), s.line);
        EXPECT_EQ(reader.eof(), s.eof) << s.line;
    }
    ::close(fd);
}

TEST(boundedreader, readErrorEndsLikeEndOfFile) {
    testutil::tempdir dir;
    const int fd = ::open(dir.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    pst::sysio sys;
    pst::boundedreader reader(sys, fd, 4096);
    char buf[16] = "junk";
    reader.readline(buf, sizeof buf);
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(reader.eof());
    EXPECT_TRUE(reader.failed());
    ::close(fd);
}

}  // namespace
