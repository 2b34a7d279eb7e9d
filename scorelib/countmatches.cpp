#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "counter.h"
#include "holders.h"
#include "internal.h"
#include "matchstack.h"
#include "scorelib.h"

namespace pst {
namespace {

// The library takes an int length; a text beyond 2 GiB is searched in its
// first INT_MAX bytes rather than under a wrapped length.
std::string_view searchable(std::string_view text) {
    return text.size() > INT_MAX ? text.substr(0, INT_MAX) : text;
}

pcreholder compilepattern(const char* pattern, FILE* diag) {
    const char* error = nullptr;
    int errorcode = 0;
    int erroffset = 0;
    // No table pointer: the library's built-in ASCII tables apply.
    pcreholder re(pcre_compile2(pattern, PCRE_DOTALL | PCRE_NO_AUTO_CAPTURE, &errorcode, &error,
                                &erroffset, nullptr));
    // The library's code for "failed to get memory": the pattern is not at
    // fault, and counting it as not compiling would change the score.
    constexpr int outofmemorycode = 21;
    if (!re && errorcode == outofmemorycode) outofmemory("malloc failed in pstlib:countmatches!\n");
    if (!re) std::fprintf(diag, "#Error: Regexp compile error on %s\n", pattern);
    return re;
}

// Counts on from start while searches match; returns the result that ended
// the loop.
int countfrom(const pcre* re, std::string_view text, unsigned long recursionlimit, int& count,
              int& start) {
    // The one setting beyond the defaults: the recursion limit that the
    // matcher's stack holds. The match limit stays the library's.
    pcre_extra extra{};
    extra.flags = PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit_recursion = recursionlimit;
    const int length = static_cast<int>(text.size());
    int ovector[30];
    for (;;) {
        // PCRE_NOTEMPTY is the guard against the empty-match trap: every
        // accepted match ends beyond the previous one, so the loop ends.
        const int rc =
            pcre_exec(re, &extra, text.data(), length, start, PCRE_NOTEMPTY, ovector, 30);
        if (rc <= 0) return rc;
        ++count;
        start = ovector[1];
    }
}

// limithere caches the recursion limit for the caller's stack (0: not yet
// known; finding it reads the process's memory map).
int countcompiled(const pcre* re, std::string_view text, const char* pattern, FILE* diag,
                  unsigned long& limithere) {
    if (limithere == 0) limithere = recursionlimithere();
    int count = 0;
    int start = 0;
    int rc = countfrom(re, text, limithere, count, start);
    if (rc == PCRE_ERROR_RECURSIONLIMIT) {
        // Too deep for this stack: the same search goes on where it stopped,
        // on a stack that holds far deeper ones.
        rc = onlargestack(
            [&](unsigned long limit) { return countfrom(re, text, limit, count, start); });
    }
    // 0 means the vector was too small for the groups a match set.
    if (rc != PCRE_ERROR_NOMATCH)
        std::fprintf(diag, "#Error in rex_rc: %d reading %s\n", rc, pattern);
    return count;
}

// The library gives up a search at one start position after 10,000,000
// calls of its matcher. A skipped search must be one that would have ended
// without that error, so skipping needs a bound far below it.
constexpr uint64_t safework = 1'000'000;

}  // namespace

int countmatchesn(std::string_view text, const char* pattern, int debug) {
    FILE* diag = debug ? stdout : stderr;
    const pcreholder re = compilepattern(pattern, diag);
    unsigned long limithere = 0;
    return re ? countcompiled(re.get(), searchable(text), pattern, diag, limithere) : 0;
}

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
    pcreholder re;
    {
        // Every pattern is compiled, so that compile errors are reported
        // exactly as the library sees them, whatever the search does.
        stopwatch w(profile_ ? &profile_->compile : nullptr);
        re = compilepattern(pattern, diag);
    }
    if (!re) return 0;
    stopwatch w(profile_ ? &profile_->search : nullptr);
    if (straightforward_) return countcompiled(re.get(), text_, pattern, diag, limithere_);

    const std::string_view p(pattern);
    // Without metacharacters the library matches the bytes themselves,
    // leftmost first, each search starting where the last match ended.
    if (isliteral(p)) return index_.countliteral(p);

    if (!cannotmatch(p)) return countcompiled(re.get(), text_, pattern, diag, limithere_);
    return 0;
}

}  // namespace pst

int countmatches(const char* text, const char* pattern, int debug) {
    return pst::countmatchesn(std::string_view(text, std::strlen(text)), pattern, debug);
}
