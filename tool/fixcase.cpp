#include "fixcase.h"

#include <sysexits.h>

#include <cerrno>
#include <cstring>

#include "counting/regexbackend.h"
#include "holders.h"
#include "input.h"
#include "patternlint.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "scorelib.h"

namespace pst {

std::optional<std::string> fixcaseline(std::string_view line, std::string& why) {
    // A NUL ends the line for the plugin: such a line is left to the
    // administrator.
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    const std::optional<rulespans> s = splitrule(line);
    if (!s || s->exact) return std::nullopt;
    const std::string pattern(s->pattern);
    std::string message;
    int offset = 0;
    if (regexcompileerror(pattern.c_str(), message, offset)) return std::nullopt;
    const cbuf upper(ucstrdup(pattern.c_str()));
    if (!regexcompileerror(upper.get(), message, offset)) return std::nullopt;
    const auto at = static_cast<size_t>(s->pattern.data() - line.data());
    std::string fixed(1, '=');
    fixed += line.substr(0, at);
    const bool caseless = setscaseless(pattern);
    const std::optional<std::string> folded = caseless ? foldedpattern(pattern) : std::nullopt;
    fixed += folded ? *folded : pattern;
    fixed += line.substr(at + s->pattern.size());
    const std::string never =
        "its capitals never counted, as '" + std::string(upper.get()) + "' does not compile";
    why = "'" + pattern + "' ";
    if (folded)
        why += "is now '" + *folded + "', exact: " + never +
               "; the text is folded to lower case, so every message scores as before but one "
               "with a capital right after a backslash (folding keeps those), which (?i) matched";
    else if (caseless)
        why +=
            "is now exact, its (?i) kept (lower case would change what a byte code, a range "
            "or a property matches): " +
            never + ", so every message scores as before";
    else
        why += "is now exact: " + never + ", so every message scores as before";
    return fixed;
}

int fixcase(const char* path, FILE* out, FILE* err) {
    const inputfile file = inputfile::named(path);
    rulefile f;
    if (!file || !readrulefile(file, f)) return EX_NOINPUT;
    int changed = 0, lineno = 0, renamed = 0;
    for (const std::string_view line : f.lines) {
        ++lineno;
        std::string why;
        const std::optional<std::string> fixed = fixcaseline(line, why);
        if (!fixed) {
            std::fwrite(line.data(), 1, line.size(), out);
            continue;
        }
        std::fwrite(fixed->data(), 1, fixed->size(), out);
        std::fprintf(err, "%s:%d: note: %s\n", file.name(), lineno, why.c_str());
        ++changed;
        renamed += splitrule(*fixed)->pattern != splitrule(line)->pattern;
    }
    // A rule file cut short by a full disk must not pass for the whole one.
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(err, "blocklistctl: cannot write the rule file: %s\n", std::strerror(errno));
        return EX_IOERR;
    }
    std::fprintf(err, "%s: %d of %d lines changed", file.name(), changed, lineno);
    if (renamed)
        std::fprintf(err, "; the hit statistics of the %d patterns rewritten start afresh",
                     renamed);
    std::fputs("\n", err);
    return EX_OK;
}

}  // namespace pst
