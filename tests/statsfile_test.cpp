#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugintree.h"

namespace {

using plugintree::scope;
using plugintree::statsfile;
using testutil::readfile;
using testutil::writefile;

std::set<std::string> spoolnames() {
    std::set<std::string> names;
    if (DIR* d = ::opendir(plugintree::spooldir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Replaces every leading time field of a statistics file with "T" when it
// lies within [from, to], so that the rest can be compared byte for byte.
std::string withtimes(const std::string& content, time_t from, time_t to) {
    std::string out;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        const size_t space = line.find(' ');
        if (space != std::string::npos) {
            const std::string t = line.substr(0, space);
            char* rest = nullptr;
            const long long v = std::strtoll(t.c_str(), &rest, 10);
            if (!t.empty() && *rest == '\0' && v >= from && v <= to)
                line = std::string("T").append(line, space);
        }
        out += line + "\n";
        pos = end + 1;
    }
    return out;
}

struct statscase {
    const char* name;
    std::string rules, message, before, after;  // after: times of this run shown as T
};

TEST(statsfile, recordingTable) {
    const std::string longline = "17 " + std::string(3000, 'q');
    const statscase cases[] = {
        {"first hit in an empty file", "10 cheap\n", "A: b\n\ncheap\n", "", "T cheap\n"},
        {"update in place keeps order", "10 cheap\n", "A: b\n\ncheap\n", "5 a\n6 cheap\n7 b\n",
         "5 a\nT cheap\n7 b\n"},
        {"duplicates updated, nothing appended", "10 cheap\n", "A: b\n\ncheap\n",
         "5 cheap\n6 b\n7 cheap\n", "T cheap\n6 b\nT cheap\n"},
        {"pattern with spaces", "3 free money\n", "A: b\n\nfree money\n", "5 free money\n",
         "T free money\n"},
        {"pattern as written, never upper-cased", "1 \\bdeal\\b\n=1 x\n", "A: b\n\nDEAL x\n", "",
         "T \\bdeal\\b\nT x\n"},
        {"rule without a hit leaves the file alone", "10 cheap\n", "A: b\n\nnothing\n",
         "12345\n5 a", "12345\n5 a"},
        {"lines without a space dropped, final newline added", "10 cheap\n", "A: b\n\ncheap\n",
         "12345\n5 a", "5 a\nT cheap\n"},
        {"long lines carried whole", "10 cheap\n", "A: b\n\ncheap\n", longline + "\n",
         longline + "\nT cheap\n"},
        {"weight-0 rules only in debug mode", "0 cheap\n", "A: b\n\ncheap\n", "", ""},
    };
    for (const auto& c : cases) {
        scope tree(c.rules);
        writefile(statsfile, c.before);
        const time_t from = std::time(nullptr);
        const auto o = plugintree::scan(testutil::tempdir().file("m", c.message));
        const time_t to = std::time(nullptr);
        EXPECT_EQ(o.err, "") << c.name;
        const std::string now = readfile(statsfile);
        if (c.after == c.before) {
            EXPECT_EQ(now, c.before) << c.name;
        } else {
            EXPECT_EQ(withtimes(now, from, to), c.after) << c.name;
        }
        EXPECT_EQ(spoolnames(), std::set<std::string>{"STATS"}) << c.name;
    }
}

TEST(statsfile, nothingIsCreatedWithoutTheFile) {
    scope tree("10 cheap\n");
    testutil::tempdir dir;
    const auto o = plugintree::scan(dir.file("m", "A: b\n\ncheap\n"));
    EXPECT_EQ(o.out, "10\n");
    EXPECT_TRUE(spoolnames().empty());
}

TEST(statsfile, debugModeRecordsWeightZeroRules) {
    scope tree("0 cheap\n");
    writefile(plugintree::debugmarker, "");
    writefile(statsfile, "");
    testutil::tempdir dir;
    const time_t from = std::time(nullptr);
    plugintree::scan(dir.file("m", "A: b\n\ncheap\n"));
    EXPECT_EQ(withtimes(readfile(statsfile), from, std::time(nullptr)), "T cheap\n");
}

TEST(statsfile, modeAndOwnerAreKept) {
    scope tree("10 cheap\n");
    writefile(statsfile, "1 a\n");
    ASSERT_EQ(::chmod(statsfile.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(statsfile.c_str(), 65534, 65534), 0);
    }
    testutil::tempdir dir;
    plugintree::scan(dir.file("m", "A: b\n\ncheap\n"));
    struct stat st {};
    ASSERT_EQ(::stat(statsfile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_NE(readfile(statsfile).find(" cheap\n"), std::string::npos);
}

TEST(statsfile, plantedLinkAtTheTemporaryNameIsNotFollowed) {
    scope tree("10 cheap\n");
    writefile(statsfile, "1 a\n");
    testutil::tempdir dir;
    const std::string target = dir.file("precious", "precious content\n");
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    std::string tmpname;
    testutil::runoptions options;
    options.beforeexec = [&](int pid) {
        tmpname = statsfile + ".new." + std::to_string(pid);
        ASSERT_EQ(::symlink(target.c_str(), tmpname.c_str()), 0);
    };
    const auto o =
        testutil::runprocess({plugintree::plugin, "-scan", "a", "b", "c", message}, options);
    EXPECT_EQ(o.out, "10\n");
    EXPECT_EQ(readfile(target), "precious content\n");
    EXPECT_FALSE(testutil::exists(tmpname));
    EXPECT_NE(readfile(statsfile).find(" cheap\n"), std::string::npos);
}

TEST(statsfile, staleTemporaryFileIsNotReused) {
    scope tree("10 cheap\n");
    writefile(statsfile, "1 a\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    testutil::runoptions options;
    options.beforeexec = [&](int pid) {
        writefile(statsfile + ".new." + std::to_string(pid), std::string(10000, 'x'));
    };
    testutil::runprocess({plugintree::plugin, "-scan", "a", "b", "c", message}, options);
    const std::string now = readfile(statsfile);
    EXPECT_EQ(now.substr(0, 4), "1 a\n");
    EXPECT_EQ(now.find('x'), std::string::npos);
    EXPECT_EQ(spoolnames(), std::set<std::string>{"STATS"});
}

// A plugin killed before its rename leaves a full copy of the statistics;
// the next rewrite removes those of processes that no longer exist.
TEST(statsfile, temporariesOfDeadProcessesAreRemoved) {
    scope tree("10 cheap\n");
    writefile(statsfile, "1 a\n");
    testutil::tempdir dir;
    const std::string message = dir.file("m", "A: b\n\ncheap\n");
    const int dead = [] {
        const int pid = ::fork();
        if (pid == 0) ::_exit(0);
        ::waitpid(pid, nullptr, 0);
        return pid;
    }();
    const std::string stale = statsfile + ".new." + std::to_string(dead);
    const std::string living = statsfile + ".new." + std::to_string(::getpid());
    writefile(stale, "1 a\n");
    writefile(living, "1 a\n");
    EXPECT_EQ(plugintree::scan(message).out, "10\n");
    EXPECT_FALSE(testutil::exists(stale));
    EXPECT_TRUE(testutil::exists(living));  // its process may still rename it
    ::unlink(living.c_str());
    EXPECT_NE(readfile(statsfile).find(" cheap\n"), std::string::npos);
}

TEST(statsfile, statisticsPathThatIsADirectoryIsLeftAlone) {
    scope tree("10 cheap\n");
    ASSERT_EQ(::mkdir(statsfile.c_str(), 0755), 0);
    testutil::tempdir dir;
    const auto o = plugintree::scan(dir.file("m", "A: b\n\ncheap\n"));
    ::rmdir(statsfile.c_str());
    EXPECT_EQ(o.out, "10\n");
    EXPECT_EQ(spoolnames(), std::set<std::string>{});
}

TEST(statsfile, concurrentPluginsLoseNoUpdateAndTheFileNeverVanishes) {
    constexpr int plugins = 40;
    std::string rules;
    for (int i = 0; i < plugins; ++i)
        rules.append("1 word").append(std::to_string(i)).append("x\n");
    scope tree(rules);
    writefile(statsfile, "");
    testutil::tempdir dir;
    std::vector<std::string> messages;
    for (int i = 0; i < plugins; ++i)
        messages.push_back(dir.file(
            std::string("m").append(std::to_string(i)),
            std::string("A: b\n\nsome text word").append(std::to_string(i)).append("x here\n")));

    std::atomic<bool> done{false};
    std::atomic<long> checks{0}, missing{0};
    std::thread watcher([&] {
        struct stat st {};
        while (!done) {
            if (::stat(statsfile.c_str(), &st) != 0) ++missing;
            ++checks;
        }
    });
    std::vector<testutil::child> children;
    for (const auto& m : messages)
        children.push_back(testutil::startprocess({plugintree::plugin, "-scan", "a", "b", "c", m}));
    for (auto& c : children) EXPECT_EQ(testutil::waitprocess(c).out, "1\n");
    done = true;
    watcher.join();

    EXPECT_GT(checks.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    const std::string content = readfile(statsfile);
    for (int i = 0; i < plugins; ++i)
        EXPECT_NE(content.find(" word" + std::to_string(i) + "x\n"), std::string::npos) << i;
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), plugins);
    EXPECT_EQ(spoolnames(), std::set<std::string>{"STATS"});
}

// Mounts a small tmpfs over the spool directory for one test.
struct smallspool {
    bool mounted = false;
    smallspool() {
        mounted = ::mount("tmpfs", plugintree::spooldir.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~smallspool() {
        if (mounted) ::umount2(plugintree::spooldir.c_str(), MNT_DETACH);
    }
};

TEST(statsfile, fullDiskLeavesTheFileUnchangedAndScores) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs over the spool";
    scope tree("10 cheap\n");
    smallspool spool;
    if (!spool.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (no mount permission)";
    std::string before;
    for (int i = 0; i < 300; ++i)
        before += std::to_string(1000 + i) + " rule number " + std::to_string(i) + "\n";
    writefile(statsfile, before);
    {
        // Fill what is left of the file system.
        std::ofstream filler(plugintree::spooldir + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) filler.flush();
    }
    testutil::tempdir dir;
    const auto o = plugintree::scan(dir.file("m", "A: b\n\ncheap\n"));
    EXPECT_EQ(o.out, "10\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(readfile(statsfile), before);
    EXPECT_EQ(spoolnames(), (std::set<std::string>{"STATS", "filler"}));
    ::unlink((plugintree::spooldir + "/filler").c_str());
    ::unlink(statsfile.c_str());
}

}  // namespace
