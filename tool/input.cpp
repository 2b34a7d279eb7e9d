#include "input.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "evaluate.h"
#include "message/reader.h"
#include "rules/rulefile.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {

bool cannotread(const char* name, const char* why) {
    std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", name, why);
    return false;
}

fdholder openregular(const char* path, const char* name) {
    fdholder fd(openforscan(path));
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
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
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

}  // namespace pst
