#include "system/sysio.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>

#include "holders.h"
#include "system/pathname.h"

namespace pst {

namespace {

// Makes call again while a signal interrupts it.
template <class F>
auto retried(F call) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

int sysio::open(const char* path, int flags, mode_t mode) {
    return retried([&] { return fails(sysop::open) ? -1 : ::open(path, flags, mode); });
}

ssize_t sysio::read(int fd, void* buf, size_t n) {
    return retried([&] { return fails(sysop::read) ? -1 : ::read(fd, buf, n); });
}

ssize_t sysio::pread(int fd, void* buf, size_t n, off_t at) {
    return retried([&] { return fails(sysop::pread) ? -1 : ::pread(fd, buf, n, at); });
}

ssize_t sysio::write(int fd, const void* buf, size_t n) {
    return retried([&]() -> ssize_t {
        if (fails(sysop::write)) return -1;
        return stalls() ? 0 : ::write(fd, buf, n);
    });
}

int sysio::fsync(int fd) {
    return retried([&] { return fails(sysop::fsync) ? -1 : ::fsync(fd); });
}

int sysio::close(int fd) {
    if (!fails(sysop::close)) return ::close(fd);
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
}

int sysio::rename(const char* from, const char* to) {
    return fails(sysop::rename) ? -1 : std::rename(from, to);
}

int sysio::flock(int fd, int operation) {
    return retried([&] { return fails(sysop::flock) ? -1 : ::flock(fd, operation); });
}

int sysio::fchown(int fd, uid_t owner, gid_t group) {
    return fails(sysop::fchown) ? -1 : ::fchown(fd, owner, group);
}

int sysio::unlink(const char* path) {
    return fails(sysop::unlink) ? -1 : ::unlink(path);
}

int sysio::fstat(int fd, struct stat* st) {
    return fails(sysop::fstat) ? -1 : ::fstat(fd, st);
}

int sysio::lstat(const char* path, struct stat* st) {
    return fails(sysop::lstat) ? -1 : ::lstat(path, st);
}

int sysio::fchmod(int fd, mode_t mode) {
    return fails(sysop::fchmod) ? -1 : ::fchmod(fd, mode);
}

bool writeall(sysio& sys, int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = sys.write(fd, data.data(), data.size());
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

bool syncdirectory(sysio& sys, std::string_view path) {
    const fdholder fd(sys.open(parentdirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && sys.fsync(fd.get()) == 0;
}

std::string temporaryname(std::string_view path) {
    return std::string(path) + ".new." + std::to_string(::getpid());
}

std::vector<std::string> staletemporaries(std::string_view path) {
    const std::string dir = parentdirectory(path);
    const std::string prefix = std::string(basename(path)) + ".new.";
    std::vector<std::string> stale;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return stale;
    const std::unique_ptr<DIR, int (*)(DIR*)> holder(d, ::closedir);
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        if (!name.starts_with(prefix)) continue;
        const std::string_view digits = name.substr(prefix.size());
        long pid = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) continue;
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        // Only a regular file is what a writer leaves: anything else of the
        // name is not ours to remove.
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        // Named as path is: relative to the same directory.
        const size_t slash = path.rfind('/');
        const std::string_view where =
            slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
        stale.push_back(std::string(where) + e->d_name);
    }
    return stale;
}

void removestaletemporaries(sysio& sys, std::string_view path) {
    for (const std::string& name : staletemporaries(path)) sys.unlink(name.c_str());
}

}  // namespace pst
