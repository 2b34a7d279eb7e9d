#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "counter.h"
#include "internal.h"
#include "regexbackend.h"
#include "scorelib.h"

namespace pst {
namespace {

// The library takes an int length; a text beyond 2 GiB is searched in its
// first INT_MAX bytes rather than under a wrapped length.
std::string_view searchable(std::string_view text) {
    return text.size() > INT_MAX ? text.substr(0, INT_MAX) : text;
}

regexholder compilepattern(const char* pattern, FILE* diag) {
    regexholder re = compileregex(pattern);
    if (!re) std::fprintf(diag, "#Error: Regexp compile error on %s\n", pattern);
    return re;
}

int countcompiled(const regexcode& re, std::string_view text, const char* pattern, FILE* diag) {
    int count = 0;
    int start = 0;
    const int rc = countregex(re, text, count, start);
    // A search the library could not get memory for would change the score
    // silently if it were counted as ended.
    if (rc == regexnomemory) outofmemory("malloc failed in pstlib:countmatches!\n");
    // 0 means the match set more groups than are reported.
    if (rc != regexnomatch) std::fprintf(diag, "#Error in rex_rc: %d reading %s\n", rc, pattern);
    return count;
}

// The library gives up a search at one start position after 10,000,000
// calls of its matcher. A skipped search must be one that would have ended
// without that error, so skipping needs a bound far below it.
constexpr uint64_t safework = 1'000'000;

}  // namespace

patterncounter::patterncounter(std::string_view text, bool straightforward, evalprofile* profile)
    : text_(searchable(text)),
      straightforward_(straightforward),
      profile_(profile),
      index_(text_) {}

bool patterncounter::cannotmatch(std::string_view pattern) try {
    const patternshape shape = analyse(pattern);
    if (!shape.simple || shape.required.empty()) return false;
    for (const auto& literal : shape.required)
        if (index_.contains(literal)) return false;
    return workbound(shape, index_) <= safework;
} catch (const std::bad_alloc&) {
    return false;  // without memory for the analysis, the library searches
}

int patterncounter::count(const char* pattern, int debug) {
    FILE* diag = debug ? stdout : stderr;
    regexholder re;
    {
        // Every pattern is compiled, so that compile errors are reported
        // exactly as the library sees them, whatever the search does.
        stopwatch w(profile_ ? &profile_->compile : nullptr);
        re = compilepattern(pattern, diag);
    }
    if (!re) return 0;
    stopwatch w(profile_ ? &profile_->search : nullptr);
    if (straightforward_) return countcompiled(*re, text_, pattern, diag);

    const std::string_view p(pattern);
    // Without metacharacters the library matches the bytes themselves,
    // leftmost first, each search starting where the last match ended.
    if (isliteral(p)) return index_.countliteral(p);

    if (!cannotmatch(p)) return countcompiled(*re, text_, pattern, diag);
    return 0;
}

}  // namespace pst

int countmatches(const char* text, const char* pattern, int debug) {
    FILE* diag = debug ? stdout : stderr;
    const pst::regexholder re = pst::compilepattern(pattern, diag);
    if (!re) return 0;
    return pst::countcompiled(*re, pst::searchable(std::string_view(text, std::strlen(text))),
                              pattern, diag);
}
