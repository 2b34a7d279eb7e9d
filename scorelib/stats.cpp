#include "stats.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <unordered_map>

#include "holders.h"

namespace pst {
namespace {

bool readall(int fd, std::string& out) {
    char block[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(block, static_cast<size_t>(got));
    }
}

bool writeall(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = ::write(fd, data.data(), data.size());
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
fdholder lockstats(const char* path, struct stat& st) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fdholder fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) return {};
        int rc;
        do {
            rc = ::flock(fd.get(), LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
        struct stat now {};
        if (::stat(path, &now) != 0) return {};
        if (samefile(st, now)) return fd;
    }
    return {};
}

// Writes content to a fresh file at tmpname with the statistics file's mode
// (and owners, as root), synced to disk. Never follows a link there, never
// reuses an old file's contents; on any failure the name is removed again.
bool writetemp(const std::string& tmpname, const struct stat& st, std::string_view content) {
    ::unlink(tmpname.c_str());
    fdholder tmp(
        ::open(tmpname.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!tmp) return false;
    bool ok = ::fchmod(tmp.get(), st.st_mode & 07777) == 0;
    if (ok && ::geteuid() == 0) ok = ::fchown(tmp.get(), st.st_uid, st.st_gid) == 0;
    ok = ok && writeall(tmp.get(), content) && ::fsync(tmp.get()) == 0;
    ok = ::close(tmp.release()) == 0 && ok;
    if (!ok) ::unlink(tmpname.c_str());
    return ok;
}

void syncdirectory(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    fdholder fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

}  // namespace

std::string rewritestats(std::string_view old, const std::vector<recordedhit>& hits) {
    struct latest {
        time_t when;
        bool written;
    };
    std::unordered_map<std::string_view, latest> bypattern;
    for (const recordedhit& h : hits) bypattern[h.pattern] = latest{h.when, false};
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
            putline(out, it->second.when, pattern);
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

bool statsenabled(const char* path) {
    fdholder fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return static_cast<bool>(fd);
}

void hitlog::add(std::string_view pattern, time_t when) try {
    hits_.push_back(recordedhit{std::string(pattern), when});
} catch (const std::bad_alloc&) {
    // Without memory the message's hits are not recorded at all, rather than
    // some of them.
    failed_ = true;
}

bool hitlog::apply(const char* path) const try {
    struct stat st {};
    // The lock is held until the new file has replaced the old one: the next
    // process then finds the path renamed and starts again on the new file.
    if (failed_) return false;
    const fdholder locked = lockstats(path, st);
    if (!locked) return false;
    std::string old;
    if (!readall(locked.get(), old)) return false;
    const std::string content = rewritestats(old, hits_);
    const std::string tmpname = std::string(path) + ".new." + std::to_string(::getpid());
    if (!writetemp(tmpname, st, content)) return false;
    // One rename replaces the file: the path never stops naming a complete
    // statistics file.
    if (::rename(tmpname.c_str(), path) != 0) {
        ::unlink(tmpname.c_str());
        return false;
    }
    syncdirectory(path);
    return true;
} catch (const std::bad_alloc&) {
    // Statistics are best effort: without memory the record is skipped.
    return false;
}

}  // namespace pst
