#include "stats/stats.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "system/holders.h"
#include "system/sysio.h"

#ifndef POSTSENTINEL_LOCK_WAIT_MS
#define POSTSENTINEL_LOCK_WAIT_MS 2000
#endif

namespace pst {
namespace {

bool readall(sysio& sys, int fd, std::string& out) {
    // Read straight into the string: a process may run with a small stack.
    constexpr size_t block = size_t{1} << 16;
    for (;;) {
        const size_t had = out.size();
        out.resize(had + block);
        const ssize_t got = sys.read(fd, out.data() + had, block);
        out.resize(had + (got > 0 ? static_cast<size_t>(got) : 0));
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
    }
}

bool writeall(sysio& sys, int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = sys.write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

bool samefile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the statistics file and takes its lock. A process that held the lock
// before may have renamed a new file over the path meanwhile; the lock only
// counts if the path still names the locked file.
// Waits for the lock without blocking, for at most the lock wait: a holder
// that is stopped or stuck must not hold every scan; the record is skipped.
bool lockwithin(sysio& sys, int fd, std::chrono::steady_clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() + pause > deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// Where flock is emulated with byte-range locks (NFS), an exclusive lock
// needs a descriptor open for writing: take one where that is permitted.
int openforlock(sysio& sys, const char* path) {
    const int fd = sys.open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != EISDIR)) return fd;
    return sys.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

fdholder lockstats(sysio& sys, const char* path, struct stat& st) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(POSTSENTINEL_LOCK_WAIT_MS);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fdholder fd(openforlock(sys, path));
        if (!fd) return {};
        if (!lockwithin(sys, fd.get(), deadline) || ::fstat(fd.get(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            return {};
        struct stat now {};
        if (::stat(path, &now) != 0) return {};
        if (samefile(st, now)) return fd;
    }
    return {};
}

// Writes content to a fresh file at tmpname with the statistics file's mode
// (and owners, as root), synced to disk. Never follows a link there, never
// reuses an old file's contents; on any failure the name is removed again.
bool writetemp(sysio& sys, const std::string& tmpname, const struct stat& st,
               std::string_view content) {
    sys.unlink(tmpname.c_str());
    fdholder tmp(
        sys.open(tmpname.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!tmp) return false;
    bool ok = ::fchmod(tmp.get(), st.st_mode & 07777) == 0;
    if (ok && ::geteuid() == 0) ok = sys.fchown(tmp.get(), st.st_uid, st.st_gid) == 0;
    ok = ok && writeall(sys, tmp.get(), content) && sys.fsync(tmp.get()) == 0;
    ok = sys.close(tmp.release()) == 0 && ok;
    if (!ok) sys.unlink(tmpname.c_str());
    return ok;
}

void syncdirectory(sysio& sys, const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    fdholder fd(sys.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) sys.fsync(fd.get());
}

}  // namespace

namespace {

// The time field of a line, or the earliest time when it is not a number.
time_t linetime(std::string_view field) {
    long long t = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), t);
    if (ec != std::errc() || end != field.data() + field.size())
        return std::numeric_limits<time_t>::min();
    return static_cast<time_t>(t);
}

// Temporary files of processes that no longer exist, left by a plugin killed
// before its rename: each holds a full copy of the statistics.
void removestaletemporaries(sysio& sys, const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".new.";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        if (!name.starts_with(prefix)) continue;
        const std::string_view digits = name.substr(prefix.size());
        long pid = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) continue;
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        sys.unlink((dir + "/" + e->d_name).c_str());
    }
    ::closedir(d);
}

}  // namespace

std::string rewritestats(std::string_view old, const std::vector<recordedhit>& hits) {
    struct latest {
        time_t when;
        bool written;
    };
    std::unordered_map<std::string_view, latest> bypattern;
    for (const recordedhit& h : hits) {
        auto [it, fresh] = bypattern.try_emplace(h.pattern, latest{h.when, false});
        if (!fresh) it->second.when = std::max(it->second.when, h.when);
    }
    auto putline = [](std::string& out, time_t when, std::string_view pattern) {
        out += std::to_string(static_cast<long long>(when));
        out += ' ';
        out += pattern;
        out += '\n';
    };
    std::string out;
    out.reserve(old.size() + 64);
    while (!old.empty()) {
        const size_t end = old.find('\n');
        const std::string_view line = old.substr(0, end);
        old.remove_prefix(end == std::string_view::npos ? old.size() : end + 1);
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) continue;
        const std::string_view pattern = line.substr(space + 1);
        if (auto it = bypattern.find(pattern); it != bypattern.end()) {
            // A rewrite that waited may carry an older time than one written
            // meanwhile: the line keeps the later.
            putline(out, std::max(it->second.when, linetime(line.substr(0, space))), pattern);
            it->second.written = true;
        } else {
            out += line;
            out += '\n';
        }
    }
    for (const recordedhit& h : hits) {
        latest& l = bypattern[h.pattern];
        if (l.written) continue;
        putline(out, l.when, h.pattern);
        l.written = true;
    }
    return out;
}

bool statsenabled(sysio& sys, const char* path) {
    fdholder fd(sys.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return static_cast<bool>(fd);
}

void hitlog::add(std::string_view pattern, time_t when) try {
    hits_.push_back(recordedhit{std::string(pattern), when});
} catch (const std::bad_alloc&) {
    // Without memory the message's hits are not recorded at all, rather than
    // some of them.
    failed_ = true;
}

bool hitlog::apply(sysio& sys, const char* path) const try {
    // The lock is held until the new file has replaced the old one: the next
    // process then finds the path renamed and starts again on the new file.
    if (failed_) return false;
    for (int attempt = 0; attempt < 10; ++attempt) {
        struct stat st {};
        const fdholder locked = lockstats(sys, path, st);
        if (!locked) return false;
        removestaletemporaries(sys, path);
        std::string old;
        if (!readall(sys, locked.get(), old)) return false;
        const std::string content = rewritestats(old, hits_);
        const std::string tmpname = std::string(path) + ".new." + std::to_string(::getpid());
        if (!writetemp(sys, tmpname, st, content)) return false;
        // Deleted meanwhile (recording switched off) or replaced (rotated):
        // the rename would bring the old lines back. Gone, the record is
        // skipped; replaced, it starts again on the new file.
        struct stat now {};
        const bool present = ::stat(path, &now) == 0;
        if (!present || !samefile(st, now)) {
            sys.unlink(tmpname.c_str());
            if (!present) return false;
            continue;
        }
        // One rename replaces the file: the path never stops naming a
        // complete statistics file.
        if (sys.rename(tmpname.c_str(), path) != 0) {
            sys.unlink(tmpname.c_str());
            return false;
        }
        syncdirectory(sys, path);
        return true;
    }
    return false;
} catch (const std::bad_alloc&) {
    // Statistics are best effort: without memory the record is skipped.
    return false;
}

}  // namespace pst
