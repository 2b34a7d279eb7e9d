#include "input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "evaluate.h"
#include "holders.h"
#include "message/reader.h"
#include "rules/rulefile.h"
#include "ruleset.h"
#include "system/outofmemory.h"
#include "system/pathname.h"
#include "system/sysio.h"

namespace pst {

bool cannotread(const char* name, const char* why) {
    std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", name, why);
    return false;
}

fdholder openregular(const char* path, const char* name) {
    fdholder fd(openforreading(path));
    if (!fd) {
        cannotread(name, std::strerror(errno));
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        cannotread(name, "not a regular file");
        return fdholder();
    }
    return fd;
}

namespace {

fdholder memoryfile() {
    return fdholder(::memfd_create("blocklistctl", MFD_CLOEXEC));
}

// What the library opens to read the memory file again from its start.
std::string procpath(int fd) {
    std::string path("/proc/self/fd/");
    path += std::to_string(fd);
    return path;
}

}  // namespace

fdholder memorycopy(std::string_view content) {
    sysio sys;
    fdholder fd = memoryfile();
    if (!fd || !writeall(sys, fd.get(), content) || ::lseek(fd.get(), 0, SEEK_SET) != 0)
        return fdholder();
    return fd;
}

bool readrulefile(const inputfile& file, rulefile& f) {
    const char* name = file.name();
    const fdholder fd = openregular(file.path(), name);
    if (!fd) return false;
    sysio sys;
    try {
        boundedreader in(sys, fd.get());
        readrulelines(in, f);
        if (in.failed()) return cannotread(name, std::strerror(in.error()));
    } catch (const memoryexhausted&) {
        return cannotread(name, std::strerror(ENOMEM));
    }
    return true;
}

std::unique_ptr<ruleset> loadruleset(const inputfile& file, const char* formpath) {
    const char* name = file.name();
    const fdholder fd = openregular(file.path(), name);
    if (!fd) return nullptr;
    sysio sys;
    try {
        auto rules = std::make_unique<ruleset>(
            sys, fd.get(), ruleset::options{.formpath = formpath, .keepcompiled = true});
        if (rules->readfailed()) {
            cannotread(name, std::strerror(rules->readerror()));
            return nullptr;
        }
        return rules;
    } catch (const memoryexhausted&) {
    } catch (const std::bad_alloc&) {
    }
    cannotread(name, std::strerror(ENOMEM));
    return nullptr;
}

namespace {

// The rest of a descriptor, copied into a memory file.
fdholder copyout(int fd, const char* name) {
    fdholder memory = memoryfile();
    if (!memory) {
        cannotread(name, std::strerror(errno));
        return memory;
    }
    sysio sys;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = sys.read(fd, buf, sizeof buf);
        if (n < 0 || (n > 0 && !writeall(sys, memory.get(),
                                         std::string_view(buf, static_cast<size_t>(n))))) {
            cannotread(name, std::strerror(errno));
            return fdholder();
        }
        if (n == 0) return memory;
    }
}

}  // namespace

inputfile inputfile::named(const char* path) {
    if (std::strcmp(path, "-") != 0) return inputfile(path, path, fdholder());
    fdholder memory = copyout(STDIN_FILENO, "standard input");
    if (!memory) return inputfile();
    std::string where = procpath(memory.get());
    return inputfile(std::move(where), std::string(1, '-'), std::move(memory));
}

inputfile inputfile::snapshot(const char* path) {
    if (std::strcmp(path, "-") == 0) return named(path);
    const fdholder fd = openregular(path, path);
    if (!fd) return inputfile();
    fdholder memory = copyout(fd.get(), path);
    if (!memory) return inputfile();
    std::string where = procpath(memory.get());
    return inputfile(std::move(where), path, std::move(memory));
}

inputfile inputfile::text(std::string_view content, const char* what) {
    inputfile f;
    fdholder memory = memorycopy(content);
    if (!memory) {
        cannotread(what, std::strerror(errno));
        return f;
    }
    std::string where = procpath(memory.get());
    return inputfile(std::move(where), what, std::move(memory));
}

namespace {

// The file holds bytes, readable by all or as like is, and is on disk.
bool writesynced(int fd, const std::string& bytes, const struct stat* like) {
    sysio sys;
    mode_t mode = 0644;
    if (like) {
        // Only root may give a file away; anyone else keeps it, and the
        // plugin then trusts it only if it is the rule file's owner.
        if (sys.fchown(fd, like->st_uid, like->st_gid) != 0 && errno != EPERM) return false;
        mode = like->st_mode & 0755;
    }
    return writeall(sys, fd, bytes) && sys.fchmod(fd, mode) == 0 && sys.fsync(fd) == 0;
}

// Gives the unnamed file fd the name temporary, where the file system
// allows it.
bool nameunnamed(int fd, const std::string& temporary) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(fd, "", AT_FDCWD, temporary.c_str(), AT_EMPTY_PATH) == 0 ||
           ::linkat(AT_FDCWD, self, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

// Replaces path with bytes at once: a temporary file beside it, written,
// synced and renamed over it; on any failure the temporary file is removed
// and path is as it was. The temporary file has no name until it is
// written and synced, so that a writer killed meanwhile leaves nothing in
// the directory; where the file system cannot do that, it is named from
// the start. Its name is path.new.PID: a writer killed between naming it
// and renaming it leaves it, and the next writer removes it.
bool replacefile(const std::string& path, const std::string& bytes, std::string& error,
                 const struct stat* like) {
    sysio sys;
    removestaletemporaries(sys, path);
    const std::string temporary = temporaryname(path);
    // A leftover of a killed process of the same number.
    sys.unlink(temporary.c_str());
    fdholder fd(sys.open(parentdirectory(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    bool written = false;
    if (fd && writesynced(fd.get(), bytes, like) && nameunnamed(fd.get(), temporary)) {
        written = sys.rename(temporary.c_str(), path.c_str()) == 0;
    } else {
        fd = fdholder(sys.open(temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            error = std::strerror(errno);
            return false;
        }
        written =
            writesynced(fd.get(), bytes, like) && sys.rename(temporary.c_str(), path.c_str()) == 0;
    }
    if (!written) {
        error = std::strerror(errno);
        sys.unlink(temporary.c_str());
        return false;
    }
    // The directory's entry is made lasting too: a crash after the rename
    // must not bring the old file back.
    if (!syncdirectory(sys, path)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace pst
