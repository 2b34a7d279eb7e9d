#include "compile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "input.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "system/holders.h"
#include "system/sysio.h"

namespace pst {
namespace {

// Replaces path with bytes at once: a temporary file beside it, written,
// synced and renamed over it; on any failure the temporary file is removed
// and path is as it was.
bool replacefile(const std::string& path, const std::string& bytes, std::string& error) {
    std::string temporary = path + ".XXXXXX";
    const fdholder fd(::mkstemp(temporary.data()));
    if (!fd) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = writeall(fd.get(), bytes.data(), bytes.size()) &&
                         ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0 &&
                         ::rename(temporary.c_str(), path.c_str()) == 0;
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
    if (!file || !readrulelines(file, f)) return EX_NOINPUT;
    const auto began = std::chrono::steady_clock::now();
    std::string bytes;
    try {
        bytes = compiledrules::make(f);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "blocklistctl: out of memory\n");
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
