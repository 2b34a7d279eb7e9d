// The real plugin with hostile files around a scan: links, devices, FIFOs
// and huge files at the statistics path, system calls that fail, memory that
// is gone from the start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "plugintree.h"

namespace {

using plugintree::scope;
using plugintree::statsfile;

const char* const strace = "/usr/bin/strace";
// The sanitizer build's leak check cannot run under a tracer.
const char* const nolsan = "ASAN_OPTIONS=detect_leaks=0";

struct statsshape {
    const char* name;
    std::function<int(const std::string& secret)> plant;  // 0 when planted
};

// A statistics path that is not a regular file switches recording off, as a
// missing file does: nothing is read through it and nothing replaces it.
TEST(hostilefiles, statisticsPathThatIsNoRegularFileRecordsNothing) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    const std::string secret = dir.file("notes", "line one of the notes\nsecond line\n");
    ::chmod(secret.c_str(), 0600);
    const statsshape shapes[] = {
        {"link to a private file",
         [&](const std::string& s) { return ::symlink(s.c_str(), statsfile.c_str()); }},
        {"link to a device",
         [](const std::string&) { return ::symlink("/dev/zero", statsfile.c_str()); }},
        {"dangling link",
         [](const std::string&) { return ::symlink("/nonexistent", statsfile.c_str()); }},
        {"fifo", [](const std::string&) { return ::mkfifo(statsfile.c_str(), 0644); }},
    };
    for (const auto& shape : shapes) {
        for (const bool asnobody : {false, true}) {
            ::unlink(statsfile.c_str());
            ASSERT_EQ(shape.plant(secret), 0) << shape.name;
            struct stat before {};
            ASSERT_EQ(::lstat(statsfile.c_str(), &before), 0) << shape.name;
            const auto o = plugintree::scan(
                message,
                {.asnobody = asnobody, .env = {}, .stdinfile = "/dev/null", .beforeexec = {}});
            EXPECT_EQ(o.out, "10\n") << shape.name;
            EXPECT_EQ(o.err, "") << shape.name;
            struct stat after {};
            ASSERT_EQ(::lstat(statsfile.c_str(), &after), 0) << shape.name;
            EXPECT_EQ(after.st_ino, before.st_ino) << shape.name << ": replaced";
            EXPECT_EQ(after.st_mode, before.st_mode) << shape.name;
            EXPECT_EQ(testutil::readfile(secret), "line one of the notes\nsecond line\n");
            size_t entries = 0;
            for (const auto& e : std::filesystem::directory_iterator(plugintree::spooldir)) {
                (void)e;
                ++entries;
            }
            EXPECT_EQ(entries, 1u) << shape.name;
        }
    }
}

// The rewrite holds one line at a time: a statistics file of 512 MB (sparse,
// so one line of NUL bytes) costs neither its size in memory nor a record.
TEST(hostilefiles, aHugeStatisticsFileIsRewrittenInBoundedMemory) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    testutil::writefile(statsfile, "1 old\n");
    ASSERT_EQ(::truncate(statsfile.c_str(), off_t{512} << 20), 0);
    const auto o = plugintree::scan(message);
    EXPECT_EQ(o.out, "10\n");
    EXPECT_LT(o.maxrsskib, 64 * 1024);
    const std::string after = testutil::readfile(statsfile);
    ASSERT_EQ(after.substr(0, 6), "1 old\n");
    EXPECT_EQ(after.substr(after.size() - 6), "cheap\n");
    EXPECT_LT(after.size(), 40u);  // the line of NUL bytes had no space: no record
}

// The index that strace's when= gives to the call made on the descriptor of
// path (the nth such call after path was opened), from a trace of one run.
int nthcallon(const std::string& syscall, const std::string& path, int nth,
              const std::string& message) {
    testutil::tempdir dir;
    const std::string log = dir.path() + "/trace";
    testutil::runprocess(
        {strace, "-qq", "-o", log, "-e", "trace=openat," + syscall, plugintree::plugin, "-scan",
         "a", "b", "c", message},
        {.asnobody = false, .env = {nolsan}, .stdinfile = "/dev/null", .beforeexec = {}});
    std::istringstream in(testutil::readfile(log));
    int index = 0, seen = 0;
    std::string fd;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("openat(") && line.find('"' + path + '"') != std::string::npos) {
            fd = line.substr(line.rfind("= ") + 2);
            fd = fd.substr(0, fd.find(' '));
            continue;
        }
        if (!line.starts_with(syscall + "(")) continue;
        ++index;
        if (!fd.empty() && line.starts_with(syscall + "(" + fd + ",") && ++seen == nth)
            return index;
    }
    return 0;
}

// A failed fstat of the message or of the rule file is reported as a read
// failure of that file, with the score line after it.
TEST(hostilefiles, aFailedFstatIsReportedAndTheProtocolKept) {
    if (::access(strace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    struct fstatcase {
        std::string path;
        int nth;  // the frontend checks the rule file once before the evaluation
        std::string err;
    };
    const fstatcase cases[] = {
        {message, 1, "#Error: Unable to read file for scanning.\n"},
        {plugintree::rulefile, 2, "#Error: Unable to read local blocklist file.\n"},
    };
    for (const auto& c : cases) {
        const int when = nthcallon("newfstatat", c.path, c.nth, message);
        ASSERT_GT(when, 0) << c.path;
        const auto o = testutil::runprocess(
            {strace, "-qq", "-o", "/dev/null", "-e",
             "inject=newfstatat:error=EIO:when=" + std::to_string(when), plugintree::plugin,
             "-scan", "a", "b", "c", message},
            {.asnobody = false, .env = {nolsan}, .stdinfile = "/dev/null", .beforeexec = {}});
        EXPECT_EQ(o.result, 0) << c.path;
        EXPECT_EQ(o.out, "0\n") << c.path;
        EXPECT_EQ(o.err, c.err) << c.path;
    }
}

// Memory gone from the very first allocation (before the runtime could set
// its reserve aside): the diagnostic and status 1, not an abort.
TEST(hostilefiles, memoryGoneFromTheStartEndsWithTheDiagnostic) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build owns malloc; another one cannot be preloaded";
#endif
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "Subject: cheap\n\ncheap\n");
    const auto o = plugintree::scan(
        message, {.asnobody = false,
                  .env = {"LD_PRELOAD=" FAILALLOC_SO, "FAILALLOC_MIN=0", "FAILALLOC_FROM=1"},
                  .stdinfile = "/dev/null",
                  .beforeexec = {}});
    EXPECT_EQ(o.signal, 0);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "pstlib:evalscore: Unable to allocate buf.\n");
}

}  // namespace
