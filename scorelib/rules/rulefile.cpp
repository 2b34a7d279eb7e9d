#include "rules/rulefile.h"

#include <cstdlib>
#include <cstring>
#include <new>

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

void parserules(int debug, rulefile& f) try {
    f.rules.reserve(f.lines.size());
    for (size_t i = 0; i < f.lines.size(); ++i) {
        // The rule ends at a NUL within its line, as in the C string it
        // always was; the line's newline becomes the pattern's terminator,
        // and the last line's is the text's own.
        char* line = f.text.data() + (f.lines[i].data() - f.text.data());
        rule r;
        if (!parserule(line, strnlen(line, f.lines[i].size()), r)) continue;
        if (debug == 0 && r.weight == 0) continue;
        f.rules.push_back(numberedrule{static_cast<int>(i + 1), r});
    }
} catch (const std::bad_alloc&) {
    outofmemory(nomemoryforline);
}

}  // namespace pst
