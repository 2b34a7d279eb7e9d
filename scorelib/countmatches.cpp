#include <climits>
#include <cstdio>
#include <cstring>

#include "holders.h"
#include "internal.h"
#include "scorelib.h"

namespace pst {

int countmatchesn(std::string_view text, const char* pattern, int debug) {
    FILE* diag = debug ? stdout : stderr;
    const char* error = nullptr;
    int erroffset = 0;
    // No table pointer: the library's built-in ASCII tables apply.
    pcreholder re(
        pcre_compile(pattern, PCRE_DOTALL | PCRE_NO_AUTO_CAPTURE, &error, &erroffset, nullptr));
    if (!re) {
        std::fprintf(diag, "#Error: Regexp compile error on %s\n", pattern);
        return 0;
    }
    // The library takes an int length; a text beyond 2 GiB is searched in its
    // first INT_MAX bytes rather than under a wrapped length.
    const int length = text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
    int ovector[30];
    int count = 0;
    int start = 0;
    for (;;) {
        // PCRE_NOTEMPTY is the guard against the empty-match trap: every
        // accepted match ends beyond the previous one, so the loop ends.
        const int rc =
            pcre_exec(re.get(), nullptr, text.data(), length, start, PCRE_NOTEMPTY, ovector, 30);
        if (rc > 0) {
            ++count;
            start = ovector[1];
            continue;
        }
        if (rc == PCRE_ERROR_NOMATCH) break;
        // 0 means the vector was too small for the groups this match set.
        std::fprintf(diag, "#Error in rex_rc: %d reading %s\n", rc, pattern);
        break;
    }
    return count;
}

}  // namespace pst

int countmatches(const char* text, const char* pattern, int debug) {
    return pst::countmatchesn(std::string_view(text, std::strlen(text)), pattern, debug);
}
