#include "rules/rulefile.h"

#include <algorithm>
#include <new>
#include <optional>

#include "message/reader.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

void cutlines(rulefile& f) {
    const std::string_view text = f.text;
    size_t count = 0;
    for (size_t at = 0; at < text.size(); ++count) {
        const size_t nl = text.find('\n', at);
        at = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    f.lines.clear();
    f.lines.reserve(count);
    for (size_t at = 0; at < text.size();) {
        const size_t nl = text.find('\n', at);
        const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        f.lines.push_back(text.substr(at, end - at));
        at = end;
    }
}

}  // namespace

void readrulelines(boundedreader& in, rulefile& f) try {
    in.readrest(f.text);
    f.ownerknown = in.owner(f.owner);
    cutlines(f);
} catch (const std::bad_alloc&) {
    outofmemory(nomemoryforline);
}

void takerulelines(rulefile& f, std::string text) {
    f.text = std::move(text);
    cutlines(f);
}

namespace {

// The rule of a line, which ends at a NUL within it, as in the C string it
// always was.
std::optional<rule> ruleof(std::string_view line) {
    return parserule(line.substr(0, std::min(line.size(), line.find('\0'))));
}

}  // namespace

void parserules(int debug, rulefile& f) try {
    f.rules.clear();
    f.rules.reserve(f.lines.size());
    // The pool never grows past this, so the rules may point into it: each
    // pattern lies within its line, and takes a NUL more.
    f.patterns.clear();
    f.patterns.reserve(f.text.size() + f.lines.size());
    for (size_t i = 0; i < f.lines.size(); ++i) {
        std::optional<rule> r = ruleof(f.lines[i]);
        if (!r || (debug == 0 && r->weight == 0)) continue;
        const size_t at = f.patterns.size();
        f.patterns.append(r->pattern);
        f.patterns.push_back('\0');
        r->pattern = std::string_view(f.patterns).substr(at, r->pattern.size());
        f.rules.push_back(numberedrule{static_cast<int>(i + 1), *r});
    }
} catch (const std::bad_alloc&) {
    outofmemory(nomemoryforline);
}

}  // namespace pst
