#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "plugintree.h"

namespace {

using plugintree::plugin;
using plugintree::scope;

const std::string handshake =
    "Local Blocklist Plugin\n1.4.3\n"
    "Scores a message against the weighted rules of the local blocklist.\n";
const std::string insufficient = "#Error: Insufficient arguments\n0\n";

struct argcase {
    std::vector<std::string> args;
    std::string out;
};

TEST(plugin, commandLine) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "Subject: x\n\ncheap\n");
    const std::string missing = dir.path() + "/missing";
    const argcase cases[] = {
        {{}, insufficient},
        {{"-id"}, insufficient},
        {{"-scan"}, insufficient},
        {{"-SCAN"}, insufficient},
        {{"-id", "1.4.3"}, handshake + "Yes\n"},
        {{"-id", "myver", "extra"}, handshake + "Yes\n"},
        {{"-id", "1.4.2"}, handshake + "No\n"},
        {{"-id", "MYVER"}, handshake + "No\n"},
        {{"-id", "1.4.3x"}, handshake + "No\n"},
        {{"-id", ""}, handshake + "No\n"},
        {{"-SCAN", "a", "b", "c", message}, ""},
        {{"-Scan", "x"}, ""},
        {{"hello", "world"}, ""},
        {{"-scan", "a", "b", message}, insufficient},
        {{"-scan", "a", "b", "c", message}, "10\n"},
        {{"-scan", "a", "b", "c", message, "ignored"}, "10\n"},
        {{"-scan", "a", "b", "c", missing}, "#Error: Unable to open file for scanning.\n0\n"},
    };
    for (const auto& c : cases) {
        const auto o = testutil::runprocess(plugintree::command(c.args));
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(o.out, c.out) << shown;
        EXPECT_EQ(o.err, "") << shown;
        EXPECT_EQ(o.result, 0) << shown;
        EXPECT_EQ(o.signal, 0) << shown;
    }
}

TEST(plugin, unreadableDebugMarkerLeavesDebugOff) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    testutil::writefile(plugintree::debugmarker, "");
    ::chmod(plugintree::debugmarker.c_str(), 0);
    // Root reads any file: the plugin runs as nobody for this check.
    const auto o = plugintree::scan(message, {.asnobody = true, .env = {}, .beforeexec = {}});
    EXPECT_EQ(o.out, "10\n");
    ::chmod(plugintree::debugmarker.c_str(), 0644);
    EXPECT_EQ(plugintree::scan(message, {.asnobody = true, .env = {}, .beforeexec = {}}).out,
              "#Found 1 ocurrence(s) of cheap, score=10\n10\n");
}

TEST(plugin, hugeSparseMessageExhaustsMemoryCleanly) {
    scope tree("1 a\n");
    testutil::tempdir dir;
    const std::string message = dir.path() + "/huge";
    {
        const int fd = ::open(message.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{1} << 40), 0);
        ::close(fd);
    }
    const auto o = plugintree::scan(message);
    EXPECT_EQ(o.out, "");
    // The sanitizer build adds a warning line of its own about the failed allocation.
    std::string err = o.err;
    if (err.rfind("==", 0) == 0) err.erase(0, err.find('\n') + 1);
    EXPECT_EQ(err, "pstlib:evalscore: Unable to allocate buf.\n");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.signal, 0);
}

TEST(plugin, tinyAndDirectoryMessagesScoreZero) {
    scope tree("1 a\n");
    testutil::tempdir dir;
    EXPECT_EQ(plugintree::scan(dir.file("empty", "")).out, "0\n");
    EXPECT_EQ(plugintree::scan(dir.file("one", "a")).out, "0\n");
    EXPECT_EQ(plugintree::scan(dir.path()).out, "0\n");
}

}  // namespace
