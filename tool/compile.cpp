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

#include "holders.h"
#include "input.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "system/outofmemory.h"
#include "system/pathname.h"
#include "system/sysio.h"

namespace pst {

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
    // The form is trusted as far as the rule file: it gets the rule file's
    // owner and mode, less any write bit for group and others.
    struct stat rules {};
    if (::stat(path, &rules) != 0) {
        std::fprintf(stderr, "blocklistctl: cannot examine %s: %s\n", path, std::strerror(errno));
        return EX_NOINPUT;
    }
    if (!replacefile(target, bytes, error, &rules)) {
        std::fprintf(stderr, "blocklistctl: cannot write %s: %s\n", target.c_str(), error.c_str());
        return EX_CANTCREAT;
    }
    // Only root may give a file away: anyone else's form stays their own.
    const uid_t me = ::geteuid();
    if (me != 0 && me != rules.st_uid)
        std::fprintf(stderr,
                     "blocklistctl: warning: %s is not owned by the rule file's owner or root: the "
                     "plugin will not use it (compile as either)\n",
                     target.c_str());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    std::fprintf(out, "%s: %zu lines compiled into %s (%zu bytes) in %.0f ms\n", path,
                 f.lines.size(), target.c_str(), bytes.size(), took.count() * 1000);
    compiledrules form;
    std::string why;
    const bool fits = formstatefor(path, f, why, &form) == formstate::fits;
    std::fprintf(out, "%s: %s\n", path, prefilternote(fits ? &form : nullptr).c_str());
    return EX_OK;
}

std::string prefilternote(const compiledrules* form) {
    if (!prefilteravailable())
        return "no prefilter (" + prefilterversion() + "): every rule is searched in every message";
    if (!form || !form->filter())
        return "the compiled form has no prefilter this build can run: every rule is searched "
               "in every message";
    size_t rules = 0, filtered = 0;
    ruleplan plan;
    for (uint32_t line = 1; line <= form->lines(); ++line) {
        if (!form->planfor(static_cast<int>(line), plan)) continue;
        ++rules;
        filtered += plan.filtered;
    }
    return "the prefilter (" + prefilterversion() + ", " + std::to_string(form->filter()->size()) +
           " bytes) leaves out the search of " + std::to_string(filtered) + " of " +
           std::to_string(rules) + " rules in a message that holds none of their strings";
}

formstate formstatefor(const char* rulepath, const rulefile& f, std::string& why,
                       compiledrules* loaded) {
    const std::string path = compiledpath(rulepath);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return formstate::missing;
    sysio sys;
    compiledrules own;
    compiledrules& form = loaded ? *loaded : own;
    return form.load(sys, path.c_str(), f, why) ? formstate::fits : formstate::unusable;
}

}  // namespace pst
