#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>

#include "counting/regexbackend.h"
#include "plugintree.h"

namespace {

using plugintree::scope;

std::string alternating(size_t size) {
    std::string s;
    s.reserve(size + 2);
    while (s.size() < size) s += "ab";
    return s;
}

// The library's matcher needs memory in proportion to the run for
// "(?:a|b)+": a short run is counted, a long one reaches the limit of the
// memory a search may take and is reported like any other search error, and
// the process stays within 256 MiB and five times the message's size.
TEST(hostile, deepSearchesStayWithinTheirMemory) {
    scope tree("1 (?:a|b)+\n2 x\n");
    testutil::tempdir dir;
    const auto small = plugintree::scan(dir.file("100kb", "A: b\n\nx " + alternating(100 << 10)));
    EXPECT_EQ(small.signal, 0);
    EXPECT_EQ(small.out, "3\n");  // the run once, "x" once
    EXPECT_EQ(small.err, "");

    for (const size_t size : {size_t{1} << 20, size_t{20} << 20}) {
        const auto large = plugintree::scan(dir.file("large", "A: b\n\nx " + alternating(size)));
        EXPECT_EQ(large.signal, 0);
        EXPECT_EQ(large.out, "2\n");  // "x" once; the run ends in the error, uncounted
        EXPECT_EQ(large.err, "#Error in rex_rc: -21 reading (?:a|b)+\n");
#if !defined(__SANITIZE_ADDRESS__)
        if (!std::getenv("PLUGIN_WRAPPER")) {
            EXPECT_LE(large.maxrsskib, (256 << 10) + 5 * static_cast<long>(size >> 10)) << size;
        }
#endif
    }
}

}  // namespace

namespace {

// A FIFO that nobody writes to must not hold the plugin: it reads as empty.
TEST(hostile, fifoWithoutWriterDoesNotBlock) {
    testutil::tempdir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    {
        plugintree::scope tree("10 cheap\n");
        EXPECT_EQ(plugintree::scan(fifo).out, "0\n");
    }
    {
        plugintree::scope tree;
        ASSERT_EQ(::mkfifo(plugintree::rulefile.c_str(), 0644), 0);
        // A rule file must be a regular file.
        EXPECT_EQ(plugintree::scan(message).out,
                  "#Error: Unable to open local blocklist file.\n0\n");
    }
    {
        plugintree::scope tree("10 cheap\n");
        ASSERT_EQ(::mkfifo(plugintree::debugmarker.c_str(), 0644), 0);
        EXPECT_EQ(plugintree::scan(message).out, "#Found 1 ocurrence(s) of cheap, score=10\n10\n");
    }
}

TEST(hostile, unreadableFilesAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the plugin as nobody, which needs root";
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    plugintree::scope tree("10 cheap\n");
    ::chmod(message.c_str(), 0);
    EXPECT_EQ(plugintree::scan(message, {.asnobody = true, .env = {}, .beforeexec = {}}).out,
              "#Error: Unable to open file for scanning.\n0\n");
    ::chmod(message.c_str(), 0644);
    ::chmod(plugintree::rulefile.c_str(), 0);
    EXPECT_EQ(plugintree::scan(message, {.asnobody = true, .env = {}, .beforeexec = {}}).out,
              "#Error: Unable to open local blocklist file.\n0\n");
}

}  // namespace

namespace {

const std::string oomtexts[] = {
    "pstlib:evalscore: Unable to allocate buf.\n",  "pstlib:evalscore: Unable to allocate line.\n",
    "pstlib:evalscore: Unable to allocate nbuf.\n", "malloc failed in pstlib:lcstrdup!\n",
    "malloc failed in pstlib:ucstrdup!\n",          "malloc failed in pstlib:countmatches!\n"};

testutil::output withfailure(const std::string& message, int nth, size_t min) {
    return plugintree::scan(
        message, {.asnobody = false,
                  .env = {"LD_PRELOAD=" FAILALLOC_SO, "FAILALLOC_MIN=" + std::to_string(min),
                          "FAILALLOC_NTH=" + std::to_string(nth)},
                  .beforeexec = {}});
}

// Every allocation of a scan is made to fail in turn: the plugin either ends
// with one of its out-of-memory diagnostics, status 1 and no score line, or
// (where the memory was only a shortcut, or statistics) scores as usual; it
// never crashes and never leaves a half-written statistics file.
TEST(faults, everyFailingAllocationEndsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build owns malloc; another one cannot be preloaded";
#endif
    plugintree::scope tree("10 cheap\n5 \\bfree\\s+money\\b\n1 (?:no|thing)+x\n");
    testutil::tempdir dir;
    std::string body;
    while (body.size() < 200000) body += "nothing to see here, free  money and CHEAP cheap\n";
    const std::string message = dir.file("m", "Subject: [x] Cheap\n\n" + body);
    const std::string before = "1 old\n";
    testutil::writefile(plugintree::statsfile, before);
    const auto normal = plugintree::scan(message);
    ASSERT_EQ(normal.result, 0);
    ASSERT_NE(normal.out, "0\n");

    // The large buffers, in the order they are taken.
    for (int nth = 1; nth <= 4; ++nth) {
        testutil::writefile(plugintree::statsfile, before);
        const auto o = withfailure(message, nth, 150000);
        EXPECT_EQ(o.result, 1) << nth;
        EXPECT_EQ(o.out, "") << nth;
        EXPECT_EQ(o.err, oomtexts[nth - 1]) << nth;
        EXPECT_EQ(testutil::readfile(plugintree::statsfile), before) << nth;
    }
    for (const size_t min : {size_t{150000}, size_t{1}}) {
        for (int nth = 1; nth <= 120; ++nth) {
            testutil::writefile(plugintree::statsfile, before);
            const auto o = withfailure(message, nth, min);
            const std::string stats = testutil::readfile(plugintree::statsfile);
            ASSERT_EQ(o.signal, 0) << min << " " << nth;
            if (o.result == 1) {
                EXPECT_EQ(o.out, "") << nth;
                EXPECT_NE(std::find(std::begin(oomtexts), std::end(oomtexts), o.err),
                          std::end(oomtexts))
                    << o.err;
                EXPECT_EQ(stats, before) << nth;
                continue;
            }
            EXPECT_EQ(o.result, 0) << nth;
            EXPECT_EQ(o.out, normal.out) << min << " " << nth;
            // Statistics are recorded for all hits of the message or for none.
            EXPECT_TRUE(stats == before || (stats.find(" cheap\n") != std::string::npos &&
                                            stats.find(" \\bfree") != std::string::npos))
                << stats;
            EXPECT_EQ(stats.substr(0, before.size()), before) << stats;
        }
    }
}

}  // namespace

namespace {

// The shapes of mail that made one rule run for minutes: each ends with a
// score, the ones the analysis cannot settle with the match-limit diagnostic.
TEST(hostile, noRuleAndNoMessageStallsAScan) {
    const size_t size = 300 << 10;
    std::string newsletter;
    for (int i = 0; newsletter.size() < size; ++i)
        newsletter += "line " + std::to_string(i) + ": get it free today\n";
    std::string words = "!!";
    for (int i = 0; i < 210; ++i) words += (i ? "." : " ") + std::string("abcdefghijklmnopqrst");
    const std::string limit = "#Error in rex_rc: -8 reading ";
    struct shape {
        std::string rule, body, out, err;
    };
    const shape shapes[] = {
        // Each ends with the budget. The texts end with the bytes a match
        // needs last, so that neither library can tell from them alone that
        // a start position is in vain.
        {"10 free.*money", "money " + testutil::repeated("free ", size) + "y", "0\n",
         limit + "free.*money\n"},
        {"10 free.*money", newsletter + "y", "0\n", limit + "free.*money\n"},
        {"4 [a-z]+ deal", " deal " + testutil::repeated("abcdefghij", size) + " l", "0\n",
         limit + "[a-z]+ deal\n"},
        {"3 \\w+@\\w+\\.com", "me@here.com " + testutil::repeated("abcdefghij", size) + " mM",
         "3\n", limit + "\\w+@\\w+\\.com\n" + limit + "\\w+@\\w+\\.COM\n"},
        {"10 (?:[a-z0-9-]+\\.)+com\\b", "com " + testutil::repeated("a.", 30 << 10) + " m", "0\n",
         limit + "(?:[a-z0-9-]+\\.)+com\\b\n"},
        {"5 (?:[a-z]+\\s?)+!!", words + " !", "0\n", limit + "(?:[a-z]+\\s?)+!!\n"},
        {"10 (?=ab\\K)", "ab", "0\n", "#Error in rex_rc: -100 reading (?=ab\\K)\n"},
    };
    testutil::tempdir dir;
    for (const shape& s : shapes) {
        scope tree(s.rule + "\n");
        const auto o = plugintree::scan(dir.file("m", "A: b\n\n" + s.body + "\n"));
        EXPECT_EQ(o.signal, 0) << s.rule;
        EXPECT_EQ(o.result, 0) << s.rule;
        EXPECT_EQ(o.out, s.out) << s.rule;
        EXPECT_EQ(o.err, s.err) << s.rule;
    }
}

// A repeat that the library scans inline, after one that gives back one
// byte at a time: at a single start position the straightforward search
// scans the text once per byte, more than ten seconds on these texts. Each
// ends in the first position with the match-limit diagnostic.
TEST(hostile, aScanInsideAGiveBackEndsWithinItsPosition) {
    const size_t size = 300 << 10;
    const std::string letters = testutil::repeated("abcdefghij klmnopq ", size);
    const std::string limit = "#Error in rex_rc: -8 reading ";
    struct shape {
        std::string pattern, body;
    };
    const shape shapes[] = {
        {".*[^@]+@bank", letters},
        {"(?i).*[^@]+@bank", letters},
        {"to:\\s*[^@]+@bank", "to:" + std::string(size, ' ') + "x"},
        {"a.*?b[^@]+@bank", "a" + std::string(size, 'b')},
        {"(?:x|.)*?[^@]+@bank", letters},
    };
    testutil::tempdir dir;
    for (const shape& s : shapes) {
        scope tree("5 " + s.pattern + "\n");
        const auto o = plugintree::scan(dir.file("m", "A: b\n\n" + s.body + "k\n"));
        EXPECT_EQ(o.signal, 0) << s.pattern;
        EXPECT_EQ(o.result, 0) << s.pattern;
        EXPECT_EQ(o.out, "0\n") << s.pattern;
        EXPECT_EQ(o.err, limit + s.pattern + "\n") << s.pattern;
    }
}

// A busy machine changes no score: the budget is CPU time, and a scan that
// waits for the processor is not cut for it.
TEST(careless, manyScansAtOnceGiveTheScoreOfOneAlone) {
    scope tree("5 \\D+zqxyz\n1 cheap\n");
    testutil::tempdir dir;
    const std::string message =
        dir.file("m", "Subject: x\n\n" + testutil::repeated("cheap words ", 700 * 12) + "zq\n");
    const auto alone = plugintree::scan(message);
    EXPECT_EQ(alone.out, "700\n");
    EXPECT_EQ(alone.err, "");
    std::vector<testutil::child> running;
    for (int i = 0; i < 48; ++i)
        running.push_back(
            testutil::startprocess(plugintree::command({"-scan", "a", "b", "c", message})));
    for (testutil::child& c : running) {
        const auto o = testutil::waitprocess(c);
        EXPECT_EQ(o.out, alone.out);
        EXPECT_EQ(o.err, alone.err);
    }
}

// Taking the large stack for a deep search needs memory too; without it the
// search ends where it is, never the process.
TEST(faults, failingAllocationsAroundADeepSearch) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build owns malloc; another one cannot be preloaded";
#endif
    scope tree("1 (?:a|b)+\n2 x\n");
    testutil::tempdir dir;
    const std::string message =
        dir.file("m", "A: b\n\nx " + testutil::repeated("ab", 100 << 10) + "\n");
    const auto normal = plugintree::scan(message);
    ASSERT_EQ(normal.out, "3\n");
    for (int nth = 1; nth <= 100; ++nth) {
        const auto o = withfailure(message, nth, 1);
        ASSERT_EQ(o.signal, 0) << nth;
        if (o.result == 1) {
            EXPECT_EQ(o.out, "") << nth;
            EXPECT_NE(std::find(std::begin(oomtexts), std::end(oomtexts), o.err),
                      std::end(oomtexts))
                << nth << " " << o.err;
            continue;
        }
        EXPECT_EQ(o.result, 0) << nth;
        // Without a stack for it, the search ends with the recursion limit.
        EXPECT_TRUE(o.out == "3\n" || o.out == "2\n") << nth << " " << o.out;
    }
}

}  // namespace

namespace {

testutil::output shell(const std::string& script) {
    return testutil::runprocess({"/bin/sh", "-c", script});
}

// What an operator's mistakes and a stuck neighbour must not do to a scan.
TEST(careless, aStuckLockHolderDoesNotHoldTheScan) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    testutil::writefile(plugintree::statsfile, "1 old\n");
    const std::string ready = dir.path() + "/locked";
    // One process holds the lock, and ends with it.
    testutil::child holder =
        testutil::startprocess({"/bin/sh", "-c",
                                "exec 9>>" + plugintree::statsfile + " && flock 9 && touch " +
                                    ready + " && exec sleep 30"});
    while (!testutil::exists(ready)) ::usleep(10000);
    const auto o = plugintree::scan(message);
    ::kill(holder.pid, SIGTERM);
    testutil::waitprocess(holder);
    EXPECT_EQ(o.out, "10\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(testutil::readfile(plugintree::statsfile), "1 old\n");  // the record was skipped
}

TEST(careless, aRuleFileThatIsNoFileIsRefused) {
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    const std::string refusal = "#Error: Unable to open local blocklist file.\n0\n";
    {
        scope tree;
        ASSERT_EQ(::mkdir(plugintree::rulefile.c_str(), 0755), 0);
        EXPECT_EQ(plugintree::scan(message).out, refusal);
        ::rmdir(plugintree::rulefile.c_str());
    }
    {
        scope tree;
        ASSERT_EQ(::symlink("/dev/urandom", plugintree::rulefile.c_str()), 0);
        EXPECT_EQ(plugintree::scan(message).out, refusal);
    }
}

TEST(careless, aScoreThatCannotBeWrittenIsNoSuccess) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    const std::string scan = plugintree::plugin + " -scan a b c " + message;
    EXPECT_EQ(shell("exec " + scan + " > /dev/full").result, 1);
    EXPECT_EQ(shell("exec " + scan + " >&-").result, 1);
    EXPECT_EQ(shell("exec " + scan + " > /dev/null").result, 0);
}

TEST(careless, aSmallStackIsEnough) {
    scope tree("10 cheap\n1 (?:a|b)+\n");  // "a" of cheap once
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap " + std::string(300000, 'x') + "\n");
    const auto o = shell("ulimit -s 72 && exec " + plugintree::plugin + " -scan a b c " + message);
    EXPECT_EQ(o.signal, 0);
    EXPECT_EQ(o.out, "11\n");
    EXPECT_EQ(o.result, 0);
}

}  // namespace
