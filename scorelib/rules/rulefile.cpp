#include "rules/rulefile.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "message/reader.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

struct linefreer {
    char* line = nullptr;
    size_t cap = 0;
    ~linefreer() { std::free(line); }
};

}  // namespace

void readrulelines(boundedreader& in, std::vector<std::string>& lines) try {
    linefreer buf;
    for (ssize_t n; (n = in.readwholeline(buf.line, buf.cap)) >= 0;)
        lines.emplace_back(buf.line, static_cast<size_t>(n));
} catch (const std::bad_alloc&) {
    outofmemory("pstlib:evalscore: Unable to allocate line.\n");
}

void parserules(int debug, rulefile& f) try {
    f.rules.reserve(f.lines.size());
    for (size_t i = 0; i < f.lines.size(); ++i) {
        char* line = f.lines[i].data();
        rule r;
        if (!parserule(line, std::strlen(line), r)) continue;
        if (debug == 0 && r.weight == 0) continue;
        f.rules.push_back(numberedrule{static_cast<int>(i + 1), r});
    }
} catch (const std::bad_alloc&) {
    outofmemory("pstlib:evalscore: Unable to allocate line.\n");
}

}  // namespace pst
