#include "check.h"

#include <sys/stat.h>
#include <sysexits.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compile.h"
#include "counting/regexbackend.h"
#include "evaluate.h"
#include "fastpath/prefilter.h"
#include "fastpath/shape.h"
#include "holders.h"
#include "input.h"
#include "json.h"
#include "message/reader.h"
#include "patternlint.h"
#include "rules/compiledrules.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "scorelib.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {
namespace {

enum class severity { note, warning, error };

const char* nameof(severity s) {
    switch (s) {
        case severity::note:
            return "note";
        case severity::warning:
            return "warning";
        case severity::error:
            return "error";
    }
    return "";
}

struct finding {
    severity level;
    std::string text;
    size_t column = 0;  // 1-based, where the regular-expression library points; 0 if none
};

bool isplaininteger(const std::string& t) {
    size_t i = (!t.empty() && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
    if (i == t.size()) return false;
    for (; i < t.size(); ++i)
        if (t[i] < '0' || t[i] > '9') return false;
    return true;
}

// A line the plugin ignores: why.
finding ignoredline(const std::string& line) {
    if (line.size() < 2) {
        if (line == "\n" || line.empty()) return {severity::note, "empty line (ignored)"};
        return {severity::warning, "line shorter than two characters: it is ignored"};
    }
    if (line.substr(0, line.find('\n')).find('\t') != std::string::npos)
        return {severity::warning,
                "a tab separates weight and pattern, but only a space does: the line is ignored"};
    return {severity::warning, "no space between weight and pattern: the line is ignored"};
}

// What the weight as written does.
void checkweight(const std::string& line, const rule& r, std::string_view weight,
                 const std::string& pattern, std::vector<finding>& f) {
    const std::string weighttext(weight);
    if (line[0] == '#')
        f.push_back({severity::warning,
                     "this looks like a comment, but there is no comment syntax: it "
                     "is a rule of weight " +
                         std::to_string(r.weight) + " and pattern '" + pattern + "'"});
    else if (!isplaininteger(weighttext))
        f.push_back({severity::warning, "weight '" + weighttext +
                                            "' is not a plain integer: it reads as " +
                                            std::to_string(r.weight)});
    else if (std::strtoll(weighttext.c_str(), nullptr, 10) != r.weight)
        f.push_back({severity::warning, "weight " + weighttext +
                                            " is out of range: it is clamped to " +
                                            std::to_string(r.weight)});
    if (r.weight == 0 && line[0] != '#')
        f.push_back({severity::warning, "weight 0: the rule is evaluated only in debug mode"});
}

// What cures a rule whose upper-cased pattern does not compile, keeping
// every score as it is.
std::string capitalscure(const std::string& pattern) {
    std::string cure = "mark the rule exact with '='";
    if (setscaseless(pattern))
        cure =
            "the text is already folded to lower case (all but a capital right after a "
            "backslash), so drop (?i), write the pattern in lower case and " +
            cure;
    return cure + " ('blocklistctl check --fix-case' writes that)";
}

// What a pattern that compiles will do; column gives the column of a byte of
// the pattern, for the library's error offsets.
template <typename columnof>
void checkcompiles(const rule& r, const std::string& pattern, columnof column,
                   std::vector<finding>& f) {
    if (!r.exact) {
        const cbuf upper(ucstrdup(pattern.c_str()));
        // Upper-casing changes nothing when no letter stands outside an
        // escape.
        if (pattern == upper.get() && !capitaloutsideescape(pattern) &&
            !matchesonlyempty(analyse(pattern)))
            f.push_back({severity::warning,
                         "no letter outside an escape: the capitals pass searches the same "
                         "pattern again, and each match counts three times (mark the rule "
                         "exact with '=' to count it once)"});
        if (const char c = casedcapital(pattern))
            f.push_back({severity::warning, std::string("capital letter '") + c +
                                                "' can never match: the text is folded to lower "
                                                "case (write it in lower case, or mark the rule "
                                                "exact with '=')"});
        std::string message;
        int offset = 0;
        if (regexcompileerror(upper.get(), message, offset))
            f.push_back({severity::error,
                         std::string("the upper-cased pattern '") + upper.get() +
                             "' does not compile (" + message +
                             "): every hit reports a compile error, and its capitals never "
                             "count; " +
                             capitalscure(pattern),
                         column(offset)});
    }
    if (matchesonlyempty(analyse(pattern)))
        f.push_back(
            {severity::warning, "the pattern can only match the empty string: it never counts"});
    if (nestedunboundedrepeat(pattern))
        f.push_back({severity::warning,
                     "nested unbounded repetition: catastrophic backtracking on hostile mail"});
    // The square at one position says more than the square over them all.
    if (squareatoneposition(pattern))
        f.push_back({severity::warning,
                     "the pattern can take time in proportion to the square of the message at "
                     "one position; anchor it or bound the repeats"});
    else if (quadraticrepeat(pattern))
        f.push_back({severity::warning,
                     "an unbounded repeat of a broad class with more pattern after it: "
                     "its work grows with the square of the message size on hostile mail, "
                     "until the search's budget ends it"});
    if (wholetextanchor(pattern))
        f.push_back({severity::warning,
                     "'^' and '$' match only at the start and the end of the whole scan "
                     "text, not of each line: (?m) makes them match at every line"});
    if (resetinlookaround(pattern))
        f.push_back({severity::warning,
                     "\\K inside a lookaround: a match can end before it starts, and "
                     "counting stops at one that ends no further than the match before it "
                     "(rex_rc -100)"});
}

std::vector<finding> checkline(std::string line, std::map<std::string, int>& seen, int lineno) {
    line.resize(std::strlen(line.c_str()));  // a NUL byte ends the line for the plugin too
    const std::optional<rulespans> spans = splitrule(line);
    if (!spans) return {ignoredline(line)};
    rule r;
    r.exact = spans->exact;
    r.weight = parseweight(spans->weight);
    r.pattern = spans->pattern;
    std::vector<finding> f;
    const std::string pattern(r.pattern);
    checkweight(line, r, spans->weight, pattern, f);
    if (!pattern.empty() && pattern.back() == '\r')
        f.push_back({severity::warning,
                     "the pattern ends in a carriage return (CR-LF line ends): it "
                     "almost never matches"});
    const auto patternstart = static_cast<size_t>(spans->pattern.data() - line.data());
    auto column = [&](int offset) {
        return patternstart + 1 + static_cast<size_t>(std::max(offset, 0));
    };
    std::string message;
    int offset = 0;
    if (regexcompileerror(pattern.c_str(), message, offset))
        f.push_back({severity::error, "the pattern does not compile: " + message, column(offset)});
    else
        checkcompiles(r, pattern, column, f);
    if (auto [it, fresh] = seen.emplace(pattern, lineno); !fresh)
        f.push_back(
            {severity::warning, "the same pattern as on line " + std::to_string(it->second)});
    return f;
}

struct located : finding {
    int line = 0;  // 0: about the whole file
};

// The findings of every line of the rule file. Returns false, having said
// why, when the file cannot be read.
bool checkfile(const inputfile& file, std::vector<located>& out, int& count, rulefile& f) {
    if (!readrulefile(file, f)) return false;
    const auto& lines = f.lines;
    std::map<std::string, int> seen;
    count = static_cast<int>(lines.size());
    for (int i = 0; i < count; ++i)
        for (auto& f : checkline(std::string(lines[static_cast<size_t>(i)]), seen, i + 1))
            out.push_back({std::move(f), i + 1});
    if (count == 0)
        out.push_back({{severity::warning, "the rule file is empty: every message scores 0"}, 0});
    return true;
}

// From this many lines on, a compiled form saves the plugin more than it
// costs to keep current.
constexpr size_t compileworthwhile = 1000;

// What the plugin makes of the compiled form beside the file.
void checkcompiledform(const char* path, const rulefile& f, std::vector<located>& out) {
    if (std::strcmp(path, "-") == 0) return;
    std::string why;
    const std::string form = compiledpath(path);
    const size_t count = f.lines.size();
    compiledrules loaded;
    switch (formstatefor(path, f, why, &loaded)) {
        case formstate::fits:
            out.push_back({{severity::note, "the plugin uses the compiled form " + form}, 0});
            out.push_back({{severity::note, prefilternote(&loaded)}, 0});
            break;
        case formstate::unusable:
            out.push_back({{severity::warning, "the plugin does not use the compiled form " + form +
                                                   ": " + why + " (run 'blocklistctl compile')"},
                           0});
            break;
        case formstate::missing:
            if (!prefilteravailable()) out.push_back({{severity::note, prefilternote(nullptr)}, 0});
            if (count >= compileworthwhile)
                out.push_back({{severity::note,
                                "no compiled form: 'blocklistctl compile' spares the "
                                "plugin the work of every rule that cannot hit a message"},
                               0});
            break;
    }
    for (const std::string& stale : staletemporaries(form))
        out.push_back(
            {{severity::note, stale + " was left by a compile that was killed; the plugin never "
                                      "reads it, and the next 'blocklistctl compile' removes it"},
             0});
}

}  // namespace

int checkrule(const char* line, const char* name, FILE* err) {
    std::map<std::string, int> seen;
    int errors = 0;
    for (const auto& f : checkline(line, seen, 1)) {
        if (f.level == severity::note) continue;
        std::fprintf(err, "%s: %s: %s\n", name, nameof(f.level), f.text.c_str());
        errors += f.level == severity::error;
    }
    return errors;
}

int checkrules(const char* path, bool json, FILE* out) {
    const inputfile file = inputfile::named(path);
    std::vector<located> findings;
    int lines = 0;
    rulefile text;
    if (!file || !checkfile(file, findings, lines, text)) return EX_NOINPUT;
    checkcompiledform(path, text, findings);
    int errors = 0, warnings = 0;
    for (const auto& f : findings) {
        errors += f.level == severity::error;
        warnings += f.level == severity::warning;
    }
    const char* name = file.name();
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& f : findings) {
            nlohmann::json j = {{"severity", nameof(f.level)}, {"message", f.text}};
            if (f.line) j["line"] = f.line;
            if (f.column) j["column"] = f.column;
            list.push_back(std::move(j));
        }
        printjson({{"file", name},
                   {"lines", lines},
                   {"errors", errors},
                   {"warnings", warnings},
                   {"findings", std::move(list)}},
                  out);
    } else {
        for (const auto& f : findings) {
            std::fprintf(out, "%s:", name);
            if (f.line) std::fprintf(out, "%d:", f.line);
            if (f.column) std::fprintf(out, "%zu:", f.column);
            std::fprintf(out, " %s: %s\n", nameof(f.level), f.text.c_str());
        }
        std::fprintf(out, "%s: %d lines, %d errors, %d warnings\n", name, lines, errors, warnings);
    }
    return errors ? 2 : warnings ? 1 : 0;
}

}  // namespace pst
