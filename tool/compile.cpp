#include "compile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "input.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "system/holders.h"
#include "system/outofmemory.h"
#include "system/pathname.h"
#include "system/sysio.h"

namespace pst {
namespace {

// The file holds bytes, readable by all, and is on disk.
bool writesynced(int fd, const std::string& bytes) {
    sysio sys;
    return writeall(sys, fd, bytes) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
}

// Gives the unnamed file fd the name temporary (from a mkstemp pattern),
// where the file system allows it.
bool nameunnamed(int fd, std::string& temporary) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = temporary;
        const fdholder probe(::mkstemp(name.data()));
        if (!probe) return false;
        ::unlink(name.c_str());  // only its name was wanted
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ||
            ::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temporary = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

// Replaces path with bytes at once: a temporary file beside it, written,
// synced and renamed over it; on any failure the temporary file is removed
// and path is as it was. The temporary file has no name until it is
// written and synced, so that a compile killed meanwhile leaves nothing in
// the rule file's directory; where the file system cannot do that, it is
// named from the start.
bool replacefile(const std::string& path, const std::string& bytes, std::string& error) {
    std::string temporary = path + ".XXXXXX";
    fdholder fd(::open(parentdirectory(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    bool written = false;
    if (fd && writesynced(fd.get(), bytes) && nameunnamed(fd.get(), temporary)) {
        written = ::rename(temporary.c_str(), path.c_str()) == 0;
    } else {
        fd = fdholder(::mkstemp(temporary.data()));
        if (!fd) {
            error = std::strerror(errno);
            return false;
        }
        written = writesynced(fd.get(), bytes) && ::rename(temporary.c_str(), path.c_str()) == 0;
    }
    if (!written) {
        error = std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The directory's entry is made lasting too: a crash after the rename
    // must not bring the old form back.
    sysio sys;
    if (!syncdirectory(sys, path)) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int compilerules(const char* path, FILE* out) {
    if (std::strcmp(path, "-") == 0) {
        std::fprintf(
            stderr, "blocklistctl: compile needs the rule file by name: its form goes beside it\n");
        return EX_USAGE;
    }
    const inputfile file = inputfile::named(path);
    rulefile f;
    if (!file || !readrulefile(file, f)) return EX_NOINPUT;
    const auto began = std::chrono::steady_clock::now();
    std::string bytes;
    try {
        bytes = compiledrules::make(f);
    } catch (const std::bad_alloc&) {
        std::fputs(toolnomemory, stderr);
        return EX_SOFTWARE;
    }
    const std::string target = compiledpath(path);
    std::string error;
    if (!replacefile(target, bytes, error)) {
        std::fprintf(stderr, "blocklistctl: cannot write %s: %s\n", target.c_str(), error.c_str());
        return EX_CANTCREAT;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::fprintf(out, "%s: %zu lines compiled into %s (%zu bytes) in %.0f ms\n", path,
                 f.lines.size(), target.c_str(), bytes.size(), took.count() * 1000);
    return EX_OK;
}

formstate compiledform(const char* rulepath, const rulefile& f, std::string& why) {
    const std::string path = compiledpath(rulepath);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return formstate::missing;
    sysio sys;
    compiledrules form;
    return form.load(sys, path.c_str(), f, why) ? formstate::fits : formstate::unusable;
}

}  // namespace pst
