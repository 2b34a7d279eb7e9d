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

void parserules(weights kept, rulefile& f) try {
    f.rules.clear();
    f.rules.reserve(f.lines.size());
    // A copy of the text, in which each pattern is cut where it ends, in
    // place: one copy for all the rules rather than one for each.
    f.patterns.assign(f.text.data(), f.text.size() + 1);
    for (size_t i = 0; i < f.lines.size(); ++i) {
        const std::optional<rule> r = ruleof(f.lines[i]);
        if (!r || (kept == weights::nonzero && r->weight == 0)) continue;
        const auto at = static_cast<size_t>(r->pattern.data() - f.text.data());
        f.patterns[at + r->pattern.size()] = '\0';
        f.rules.push_back({static_cast<int>(i + 1), r->exact, r->weight,
                           std::string_view(f.patterns).substr(at, r->pattern.size())});
    }
} catch (const std::bad_alloc&) {
    outofmemory(nomemoryforline);
}

}  // namespace pst
