// The classic PCRE library.
#include <pcre.h>

#include "internal.h"
#include "matchstack.h"
#include "regexbackend.h"

namespace pst {

struct regexcode {
    pcre* re;
};

void regexfreer::operator()(regexcode* code) const noexcept {
    pcre_free(code->re);
    delete code;
}

const char* regexlibrary() {
    return "pcre";
}

regexholder compileregex(const char* pattern) {
    const char* error = nullptr;
    int errorcode = 0;
    int erroffset = 0;
    // No table pointer: the library's built-in ASCII tables apply.
    pcre* re = pcre_compile2(pattern, PCRE_DOTALL | PCRE_NO_AUTO_CAPTURE, &errorcode, &error,
                             &erroffset, nullptr);
    // The library's code for "failed to get memory": the pattern is not at
    // fault, and counting it as not compiling would change the score.
    constexpr int outofmemorycode = 21;
    if (!re && errorcode == outofmemorycode) outofmemory("malloc failed in pstlib:countmatches!\n");
    if (!re) return {};
    auto* code = new (std::nothrow) regexcode{re};
    if (!code) {
        pcre_free(re);
        outofmemory("malloc failed in pstlib:countmatches!\n");
    }
    return regexholder(code);
}

bool regexcompileerror(const char* pattern, std::string& message, int& offset) {
    const char* error = nullptr;
    pcre* re = pcre_compile(pattern, PCRE_DOTALL | PCRE_NO_AUTO_CAPTURE, &error, &offset, nullptr);
    if (re) {
        pcre_free(re);
        return false;
    }
    message = error ? error : "unknown error";
    return true;
}

namespace {

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

}  // namespace

int countregex(const regexcode& code, std::string_view text, int& count, int& start) {
    int rc = countfrom(code.re, text, recursionlimithere(), count, start);
    if (rc == PCRE_ERROR_RECURSIONLIMIT) {
        // Too deep for this stack: the same search goes on where it stopped,
        // on a stack that holds far deeper ones.
        rc = onlargestack(
            [&](unsigned long limit) { return countfrom(code.re, text, limit, count, start); });
    }
    return rc;
}

}  // namespace pst
