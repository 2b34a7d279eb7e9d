// The system calls that touch files, behind one seam: a test derives from
// sysio and makes the Nth call of a kind fail with the errno it chooses,
// without root and without a small file system. A call interrupted by a
// signal (EINTR) is made again here, so no caller retries one; close is not,
// as the kernel has released the descriptor either way.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pst {

enum class sysop {
    open,
    read,
    write,
    fsync,
    close,
    rename,
    flock,
    fchown,
    unlink,
    fstat,
    pread,
    lstat,
    fchmod,
    count
};

class sysio {
   public:
    sysio() = default;
    sysio(const sysio&) = delete;
    sysio& operator=(const sysio&) = delete;
    virtual ~sysio() = default;

    int open(const char* path, int flags, mode_t mode = 0);
    ssize_t read(int fd, void* buf, size_t n);
    ssize_t pread(int fd, void* buf, size_t n, off_t at);
    ssize_t write(int fd, const void* buf, size_t n);
    int fsync(int fd);
    // The descriptor is released even when the close fails, as the kernel
    // releases it.
    int close(int fd);
    int rename(const char* from, const char* to);
    int flock(int fd, int operation);
    int fchown(int fd, uid_t owner, gid_t group);
    int unlink(const char* path);
    int fstat(int fd, struct stat* st);
    int lstat(const char* path, struct stat* st);
    int fchmod(int fd, mode_t mode);

   protected:
    // Called before every call: true makes the call fail with the errno set
    // here instead of being made.
    virtual bool fails(sysop) { return false; }
    // Called before every write that fails() let through: true makes it
    // return 0, a write that makes no progress.
    virtual bool stalls() { return false; }
};

// Writes all of data, going on after short writes. A write that
// makes no progress is a failed write (errno EIO): retrying it would spin,
// with a lock held where there is one.
bool writeall(sysio& sys, int fd, std::string_view data);

// The name of this process's temporary file beside path, for a file that
// replaces path by rename: path.new.PID.
std::string temporaryname(std::string_view path);

// The temporary files beside path of processes that no longer exist: each
// was killed between naming its temporary file and renaming it over path.
// Regular files only: a link or a directory of such a name is left alone.
std::vector<std::string> staletemporaries(std::string_view path);
// Removes them: each holds a whole copy.
void removestaletemporaries(sysio& sys, std::string_view path);

// Makes the entries of path's directory lasting, after a rename into it:
// false when the directory cannot be opened or synced.
bool syncdirectory(sysio& sys, std::string_view path);

}  // namespace pst
