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
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "holders.h"
#include "system/pathname.h"
#include "system/sysio.h"

#ifndef POSTSENTINEL_LOCK_WAIT_MS
#define POSTSENTINEL_LOCK_WAIT_MS 2000
#endif

namespace pst {
namespace {

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
        if (errno != EWOULDBLOCK) return false;
        if (std::chrono::steady_clock::now() + pause > deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// Where flock is emulated with byte-range locks (NFS), an exclusive lock
// needs a descriptor open for writing: take one where that is permitted.
// Never through a link: a link planted at the path would have the rewrite
// copy the file it names into a file others can read.
int openforlock(sysio& sys, const char* path) {
    constexpr int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    const int fd = sys.open(path, O_RDWR | flags);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != EISDIR)) return fd;
    return sys.open(path, O_RDONLY | flags);
}

// A file replaced between its open and its lock is opened again, this many
// times at most: a writer that replaces it faster than that keeps the record
// from being made, never the scan from ending.
constexpr int lockattempts = 1000;

fdholder lockstats(sysio& sys, const char* path, struct stat& st) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(POSTSENTINEL_LOCK_WAIT_MS);
    for (int attempt = 0; attempt < lockattempts; ++attempt) {
        fdholder fd(openforlock(sys, path));
        if (!fd) return {};
        // Only a regular file is read: a device may never end.
        if (!lockwithin(sys, fd.get(), deadline) || sys.fstat(fd.get(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            return {};
        struct stat now {};
        if (sys.lstat(path, &now) != 0) return {};
        if (samefile(st, now)) return fd;
    }
    return {};
}

// The locked file, rewritten with the hits, into out; false on a read or
// write error.
bool copyrewritten(sysio& sys, int from, int to, const std::vector<recordedhit>& hits) {
    constexpr size_t block = size_t{1} << 16;
    std::string buf(block, '\0');
    statsrewrite rewrite(hits);
    for (;;) {
        const ssize_t got = sys.read(from, buf.data(), block);
        if (got < 0) return false;
        if (got == 0) break;
        rewrite.feed(std::string_view(buf.data(), static_cast<size_t>(got)));
        if (!writeall(sys, to, rewrite.out())) return false;
        rewrite.out().clear();
    }
    rewrite.finish();
    return writeall(sys, to, rewrite.out());
}

// Writes the rewritten file to a fresh file at tmpname with the statistics
// file's mode (and owners, as root), synced to disk. Never follows a link
// there, never reuses an old file's contents; on any failure the name is
// removed again.
bool writetemp(sysio& sys, const std::string& tmpname, const struct stat& st, int from,
               const std::vector<recordedhit>& hits) {
    sys.unlink(tmpname.c_str());
    fdholder tmp(
        sys.open(tmpname.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!tmp) return false;
    bool ok = sys.fchmod(tmp.get(), st.st_mode & 07777) == 0;
    if (ok && ::geteuid() == 0) ok = sys.fchown(tmp.get(), st.st_uid, st.st_gid) == 0;
    ok = ok && copyrewritten(sys, from, tmp.get(), hits) && sys.fsync(tmp.get()) == 0;
    ok = sys.close(tmp.release()) == 0 && ok;
    if (!ok) sys.unlink(tmpname.c_str());
    return ok;
}

}  // namespace

std::optional<statsrecord> parsestatsline(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    return statsrecord{line.substr(0, space), line.substr(space + 1)};
}

time_t recordtime(std::string_view field) {
    long long t = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), t);
    if (ec != std::errc() || end != field.data() + field.size())
        return std::numeric_limits<time_t>::min();
    return static_cast<time_t>(t);
}

statsrewrite::statsrewrite(const std::vector<recordedhit>& hits) : hits_(hits) {
    for (const recordedhit& h : hits) {
        auto [it, fresh] = bypattern_.try_emplace(h.pattern, latest{h.when, false});
        if (!fresh) it->second.when = std::max(it->second.when, h.when);
    }
}

void statsrewrite::putrecord(time_t when, std::string_view pattern) {
    out_ += std::to_string(static_cast<long long>(when));
    out_ += ' ';
    out_ += pattern;
    out_ += '\n';
}

void statsrewrite::line(std::string_view text) {
    const auto record = parsestatsline(text);
    if (!record) return;
    if (auto it = bypattern_.find(record->pattern); it != bypattern_.end()) {
        // A rewrite that waited may carry an older time than one written
        // meanwhile: the line keeps the later.
        putrecord(std::max(it->second.when, recordtime(record->time)), record->pattern);
        it->second.written = true;
    } else {
        out_ += text;
        out_ += '\n';
    }
}

void statsrewrite::feed(std::string_view chunk) {
    cutter_.feed(chunk, [this](linecutter::piece p, std::string_view bytes) {
        switch (p) {
            case linecutter::piece::whole:
                line(bytes);
                break;
            case linecutter::piece::head:
                // Too long to be compared: no pattern of a rule is that long.
                copylong_ = bytes.find(' ') != std::string_view::npos;
                if (copylong_) out_ += bytes;
                break;
            case linecutter::piece::rest:
                if (copylong_) out_ += bytes;
                break;
            case linecutter::piece::longend:
                if (copylong_) out_ += '\n';
                copylong_ = false;
                break;
        }
    });
}

void statsrewrite::finish() {
    cutter_.finish([this](linecutter::piece p, std::string_view bytes) {
        if (p == linecutter::piece::whole) line(bytes);
        if (p == linecutter::piece::longend && copylong_) out_ += '\n';
        copylong_ = false;
    });
    for (const recordedhit& h : hits_) {
        latest& l = bypattern_[h.pattern];
        if (l.written) continue;
        putrecord(l.when, h.pattern);
        l.written = true;
    }
}

std::string rewritestats(std::string_view old, const std::vector<recordedhit>& hits) {
    statsrewrite rewrite(hits);
    rewrite.feed(old);
    rewrite.finish();
    return std::move(rewrite.out());
}

bool statsenabled(sysio& sys, const char* path) {
    const fdholder fd(sys.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat st {};
    return fd && sys.fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
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
        const std::string tmpname = temporaryname(path);
        if (!writetemp(sys, tmpname, st, locked.get(), hits_)) return false;
        // Deleted meanwhile (recording switched off) or replaced (rotated):
        // the rename would bring the old lines back. Gone, the record is
        // skipped; replaced, it starts again on the new file.
        struct stat now {};
        const bool present = sys.lstat(path, &now) == 0;
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
