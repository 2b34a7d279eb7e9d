// The statistics rewrite and file reading with system calls that fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "evaluate.h"
#include "rules/rule.h"
#include "stats/stats.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

using pst::sysop;

// Makes the Nth call of one kind fail with err, or runs an action just
// before it, and counts the calls of every kind.
class faultysys : public pst::sysio {
   public:
    faultysys(sysop op = sysop::count, int nth = 0, int err = EIO)
        : op_(op), nth_(nth), err_(err) {}
    std::function<void()> action;  // run before the Nth call instead of failing it
    bool stallwrites = false;      // every write returns 0
    int calls(sysop op) const { return counts_[static_cast<int>(op)]; }

   protected:
    bool fails(sysop op) override {
        if (++counts_[static_cast<int>(op)] != nth_ || op != op_) return false;
        if (action) {
            action();
            return false;
        }
        errno = err_;
        return true;
    }
    // A hundred at most, so that a rewrite that retries them ends the test
    // rather than hangs it.
    bool stalls() override { return stallwrites && ++stalled_ <= 100; }

   private:
    sysop op_;
    int nth_;
    int err_;
    int counts_[static_cast<int>(sysop::count)] = {};
    int stalled_ = 0;
};

const char* const opnames[] = {"open",   "read",   "write", "fsync", "close", "rename", "flock",
                               "fchown", "unlink", "fstat", "pread", "lstat", "fchmod"};
static_assert(std::size(opnames) == static_cast<size_t>(sysop::count));

std::set<std::string> filesin(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

size_t opendescriptors() {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it)
        ++n;
    return n;
}

const std::string oldstats = "100 cheap\n200 other\n";
const std::vector<pst::recordedhit> somehits = {{"cheap", 300}, {"fresh", 300}};

struct rewriteresult {
    bool recorded;
    std::string content;
    std::set<std::string> files;
    size_t leakeddescriptors;
};

rewriteresult rewritewith(faultysys& sys) {
    testutil::tempdir dir;
    const std::string path = dir.file("STATS", oldstats);
    pst::hitlog log;
    for (const auto& h : somehits) log.add(h.pattern, h.when);
    const size_t before = opendescriptors();
    rewriteresult r;
    r.recorded = log.apply(sys, path.c_str());
    r.leakeddescriptors = opendescriptors() - before;
    r.content = testutil::readfile(path);
    r.files = filesin(dir.path());
    return r;
}

// Whatever call fails, the file is the old one or the new one, never a part,
// the answer says which, and nothing is left behind.
TEST(sysfault, everyFailingCallOfTheRewriteLeavesOneWholeFile) {
    const std::string fresh = pst::rewritestats(oldstats, somehits);
    faultysys clean;
    const rewriteresult ok = rewritewith(clean);
    ASSERT_TRUE(ok.recorded);
    ASSERT_EQ(ok.content, fresh);
    for (int op = 0; op < static_cast<int>(sysop::count); ++op) {
        for (int nth = 1; nth <= clean.calls(static_cast<sysop>(op)); ++nth) {
            faultysys sys(static_cast<sysop>(op), nth);
            const rewriteresult r = rewritewith(sys);
            const std::string what = std::string(opnames[op]) + " #" + std::to_string(nth);
            EXPECT_EQ(r.content, r.recorded ? fresh : oldstats) << what;
            EXPECT_EQ(r.files, std::set<std::string>{"STATS"}) << what;
            EXPECT_EQ(r.leakeddescriptors, 0u) << what;
        }
    }
}

// A call that a signal interrupts is made again inside the seam: the rewrite
// and the reading of a file go on as if nothing had happened.
TEST(sysfault, anInterruptedCallIsMadeAgain) {
    const std::string fresh = pst::rewritestats(oldstats, somehits);
    faultysys clean;
    ASSERT_TRUE(rewritewith(clean).recorded);
    for (const sysop op : {sysop::open, sysop::read, sysop::write, sysop::fsync, sysop::flock}) {
        for (int nth = 1; nth <= clean.calls(op); ++nth) {
            faultysys sys(op, nth, EINTR);
            const rewriteresult r = rewritewith(sys);
            const std::string what =
                std::string(opnames[static_cast<int>(op)]) + " #" + std::to_string(nth);
            EXPECT_TRUE(r.recorded) << what;
            EXPECT_EQ(r.content, fresh) << what;
            EXPECT_EQ(sys.calls(op), clean.calls(op) + 1) << what;
        }
    }
}

// The calls whose failure must lose the record: without the sync of the new
// file, or with the result of its close ignored, a record that may not be on
// disk would count as made.
TEST(sysfault, failuresThatMustSkipTheRecord) {
    struct faultcase {
        sysop op;
        int nth;
        int err;
        bool recorded;
    };
    const faultcase cases[] = {
        {sysop::open, 1, EIO, false},          // the statistics file
        {sysop::open, 2, ENOSPC, false},       // the new file
        {sysop::open, 3, EIO, true},           // the directory, synced after the rename
        {sysop::read, 1, EIO, false},          //
        {sysop::write, 1, ENOSPC, false},      //
        {sysop::fsync, 1, EIO, false},         // the new file
        {sysop::fsync, 2, EIO, true},          // the directory
        {sysop::close, 1, EIO, false},         // the new file
        {sysop::rename, 1, EXDEV, false},      //
        {sysop::flock, 1, ENOLCK, false},      //
        {sysop::flock, 1, EWOULDBLOCK, true},  // taken at the next try
        {sysop::unlink, 1, EACCES, true},      // the old temporary name, if any
    };
    for (const auto& c : cases) {
        faultysys sys(c.op, c.nth, c.err);
        const rewriteresult r = rewritewith(sys);
        const std::string what =
            std::string(opnames[static_cast<int>(c.op)]) + " #" + std::to_string(c.nth);
        EXPECT_EQ(r.recorded, c.recorded) << what;
        EXPECT_GE(sys.calls(c.op), c.nth) << what << " was never made";
    }
    // As root the new file gets the statistics file's owners; a failure there
    // must not leave a file that the mail system cannot read.
    faultysys sys(sysop::fchown, 1, EPERM);
    const rewriteresult r = rewritewith(sys);
    EXPECT_EQ(r.recorded, sys.calls(sysop::fchown) == 0);
}

TEST(sysfault, aFileRotatedOrDeletedDuringTheRewriteIsNotBroughtBack) {
    const std::string rotated = "5 newest\n";
    testutil::tempdir dir;
    const std::string path = dir.path() + "/STATS";
    pst::hitlog log;
    for (const auto& h : somehits) log.add(h.pattern, h.when);

    // Rotated while the new file was being written: the record goes to the
    // file that is there now, and the rotated one keeps its lines.
    testutil::writefile(path, oldstats);
    faultysys rotating(sysop::fsync, 1);
    rotating.action = [&] {
        std::filesystem::rename(path, path + ".1");
        testutil::writefile(path, rotated);
    };
    EXPECT_TRUE(log.apply(rotating, path.c_str()));
    EXPECT_EQ(testutil::readfile(path), pst::rewritestats(rotated, somehits));
    EXPECT_EQ(testutil::readfile(path + ".1"), oldstats);
    EXPECT_EQ(filesin(dir.path()), (std::set<std::string>{"STATS", "STATS.1"}));

    // Deleted, recording is off: the record is skipped.
    testutil::writefile(path, oldstats);
    faultysys deleting(sysop::fsync, 1);
    deleting.action = [&] { std::filesystem::remove(path); };
    EXPECT_FALSE(log.apply(deleting, path.c_str()));
    EXPECT_FALSE(testutil::exists(path));
    EXPECT_EQ(filesin(dir.path()), std::set<std::string>{"STATS.1"});
}

// Where flock is emulated with byte-range locks (NFS), only a descriptor
// open for writing takes an exclusive lock.
TEST(sysfault, theLockIsTakenThroughADescriptorOpenForWriting) {
    testutil::tempdir dir;
    const std::string path = dir.file("STATS", oldstats);
    std::vector<int> modes;
    faultysys watching(sysop::fsync, 1);
    watching.action = [&] {
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (std::filesystem::read_symlink(e.path(), ec) != path) continue;
            const std::string info =
                testutil::readfile("/proc/self/fdinfo/" + e.path().filename().string());
            const size_t at = info.find("flags:");
            modes.push_back(std::stoi(info.substr(at + 6), nullptr, 8) & O_ACCMODE);
        }
    };
    pst::hitlog log;
    log.add("cheap", 1);
    EXPECT_TRUE(log.apply(watching, path.c_str()));
    EXPECT_EQ(modes, std::vector<int>{O_RDWR});
}

// A read error in the middle of the message or the rule file ends that file
// where it happened, with a diagnostic on the diagnostic stream.
TEST(sysfault, readErrorsEndTheFileWithADiagnostic) {
    const std::string filler = testutil::repeated("filler line\n", 12 * 6000);
    const std::string message = "Subject: x\n\ncheap\n" + filler + "cheap\n";
    const std::string rules = "1 cheap\n" + testutil::repeated("1 absent\n", 9 * 8000) + "5 x\n";
    const std::string badmessage = "#Error: Unable to read file for scanning.\n";
    const std::string badrules = "#Error: Unable to read local blocklist file.\n";
    struct readcase {
        const char* name;
        int nth;  // the message takes two reads, the rule file two more and one at its end
        int debug;
        int score;
        std::string out, err;
    };
    const readcase cases[] = {
        {"no fault", 0, 0, 2 + 3 * 5, "", ""},
        {"message read fails at once", 1, 0, 0, "", badmessage},
        {"message read fails in the middle", 2, 0, 1 + 3 * 5, "", badmessage},
        {"rule file read fails at once", 3, 0, 0, "", badrules},
        {"rule file read fails in the middle", 4, 0, 2, "", badrules},
        {"in debug mode the diagnostic goes to the host", 4, 2, 2,
         "#Found 2 ocurrence(s) of cheap, score=2\n" + badrules, ""},
        {"read error at the very end", 5, 0, 17, "", badrules},
    };
    testutil::tempdir dir;
    const std::string m = dir.file("message", message), r = dir.file("rules", rules);
    for (const auto& c : cases) {
        faultysys sys(sysop::read, c.nth);
        pst::evaloptions options;
        options.system = &sys;
        const auto o = testutil::capture(
            [&] { return pst::evaluate(r.c_str(), m.c_str(), c.debug, nullptr, options); });
        EXPECT_EQ(o.result, c.score) << c.name;
        EXPECT_EQ(o.out, c.out) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
    }
}

// A write that makes no progress fails the record at once: retried, it would
// spin for ever with the lock held.
TEST(sysfault, aWriteThatMakesNoProgressSkipsTheRecord) {
    faultysys sys;
    sys.stallwrites = true;
    const rewriteresult r = rewritewith(sys);
    EXPECT_FALSE(r.recorded);
    EXPECT_EQ(sys.calls(sysop::write), 1);
    EXPECT_EQ(r.content, oldstats);
    EXPECT_EQ(r.files, std::set<std::string>{"STATS"});
}

// The file a link at the statistics path names is never read nor replaced:
// the rewrite would copy it into a file that others can read.
TEST(sysfault, aLinkAtTheStatisticsPathIsNeverFollowed) {
    testutil::tempdir dir;
    const std::string secret = dir.file("secret", "1 private notes\n");
    const std::string path = dir.path() + "/STATS";
    ASSERT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
    pst::sysio sys;
    EXPECT_FALSE(pst::statsenabled(sys, path.c_str()));
    pst::hitlog log;
    log.add("cheap", 1);
    EXPECT_FALSE(log.apply(sys, path.c_str()));
    EXPECT_EQ(std::filesystem::read_symlink(path), secret);
    EXPECT_EQ(testutil::readfile(secret), "1 private notes\n");
    EXPECT_EQ(filesin(dir.path()), (std::set<std::string>{"STATS", "secret"}));
}

// In a sticky spool directory the plugin cannot remove a link that another
// user planted at its temporary's name; the new file must then not be
// created through it.
TEST(sysfault, aLinkAtTheTemporaryNameThatCannotBeRemovedIsNotWrittenThrough) {
    testutil::tempdir dir;
    const std::string victim = dir.file("victim", "mine\n");
    const std::string path = dir.file("STATS", oldstats);
    const std::string tmpname = path + ".new." + std::to_string(::getpid());
    ASSERT_EQ(::symlink(victim.c_str(), tmpname.c_str()), 0);
    faultysys sys(sysop::unlink, 1, EPERM);
    pst::hitlog log;
    for (const auto& h : somehits) log.add(h.pattern, h.when);
    EXPECT_FALSE(log.apply(sys, path.c_str()));
    EXPECT_EQ(testutil::readfile(victim), "mine\n");
    EXPECT_EQ(testutil::readfile(path), oldstats);
}

// A device at the statistics path (put there after the probe) is never read:
// /dev/zero would be read for ever.
class readcounter : public faultysys {
   public:
    using faultysys::faultysys;
    int reads = 0;

   protected:
    bool fails(sysop op) override {
        if (op == sysop::read && ++reads > 100) {
            errno = EIO;
            return true;
        }
        return faultysys::fails(op);
    }
};

TEST(sysfault, aDeviceAtTheStatisticsPathIsNeverRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    testutil::tempdir dir;
    const std::string path = dir.path() + "/STATS";
    ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0644, ::makedev(1, 5)), 0);  // /dev/zero
    readcounter sys;
    EXPECT_FALSE(pst::statsenabled(sys, path.c_str()));
    pst::hitlog log;
    log.add("cheap", 1);
    EXPECT_FALSE(log.apply(sys, path.c_str()));
    EXPECT_EQ(sys.reads, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(filesin(dir.path()), std::set<std::string>{"STATS"});
}

// A file whose size cannot be had is reported as a read failure of that
// file, and the score protocol is kept.
TEST(sysfault, aFailedFstatIsReportedAsAReadFailure) {
    testutil::tempdir dir;
    const std::string m = dir.file("message", "Subject: x\n\ncheap\n");
    const std::string r = dir.file("rules", "1 cheap\n");
    struct fstatcase {
        int nth;
        int score;
        std::string err;
    };
    const fstatcase cases[] = {
        {0, 1, ""},
        {1, 0, "#Error: Unable to read file for scanning.\n"},
        {2, 0, "#Error: Unable to read local blocklist file.\n"},
    };
    for (const auto& c : cases) {
        faultysys sys(sysop::fstat, c.nth);
        pst::evaloptions options;
        options.system = &sys;
        const auto o = testutil::capture(
            [&] { return pst::evaluate(r.c_str(), m.c_str(), 0, nullptr, options); });
        EXPECT_EQ(o.result, c.score) << c.nth;
        EXPECT_EQ(o.out, "") << c.nth;
        EXPECT_EQ(o.err, c.err) << c.nth;
    }
}

}  // namespace
