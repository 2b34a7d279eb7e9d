// PCRE2, for systems without the classic library. It keeps its backtracking
// frames on the heap, not the stack; its heap limit is set to about what the
// classic library's stack holds, so that both give up on the same hostile
// mail.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "internal.h"
#include "regexbackend.h"

namespace pst {

struct regexcode {
    pcre2_code* re;
};

void regexfreer::operator()(regexcode* code) const noexcept {
    pcre2_code_free(code->re);
    delete code;
}

const char* regexlibrary() {
    return "pcre2";
}

regexholder compileregex(const char* pattern) {
    int errorcode = 0;
    PCRE2_SIZE erroffset = 0;
    // No compile context: the library's built-in ASCII tables apply.
    pcre2_code* re =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                      PCRE2_DOTALL | PCRE2_NO_AUTO_CAPTURE, &errorcode, &erroffset, nullptr);
    if (!re && errorcode == PCRE2_ERROR_HEAP_FAILED)
        outofmemory("malloc failed in pstlib:countmatches!\n");
    if (!re) return {};
    auto* code = new (std::nothrow) regexcode{re};
    if (!code) {
        pcre2_code_free(re);
        outofmemory("malloc failed in pstlib:countmatches!\n");
    }
    return regexholder(code);
}

bool regexcompileerror(const char* pattern, std::string& message, int& offset) {
    int errorcode = 0;
    PCRE2_SIZE erroffset = 0;
    pcre2_code* re =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                      PCRE2_DOTALL | PCRE2_NO_AUTO_CAPTURE, &errorcode, &erroffset, nullptr);
    if (re) {
        pcre2_code_free(re);
        return false;
    }
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(errorcode, buffer, sizeof buffer) < 0) buffer[0] = 0;
    message = reinterpret_cast<const char*>(buffer);
    offset = static_cast<int>(erroffset);
    return true;
}

namespace {

struct matchdatafreer {
    void operator()(pcre2_match_data* md) const noexcept { pcre2_match_data_free(md); }
};
struct matchcontextfreer {
    void operator()(pcre2_match_context* mc) const noexcept { pcre2_match_context_free(mc); }
};

// The classic library's numbers for the same conditions.
int classiccode(int rc) {
    switch (rc) {
        case PCRE2_ERROR_NOMATCH:
            return regexnomatch;
        case PCRE2_ERROR_MATCHLIMIT:
            return regexmatchlimit;
        case PCRE2_ERROR_DEPTHLIMIT:
        case PCRE2_ERROR_HEAPLIMIT:
            return regexrecursionlimit;
        case PCRE2_ERROR_NOMEMORY:
            return -6;
        default:
            return rc;
    }
}

constexpr uint32_t heaplimitkib = 1024 * 1024;  // 1 GiB, as the classic stack

}  // namespace

int countregex(const regexcode& code, std::string_view text, int& count, int& start) {
    // Ten pairs, as the classic offset vector of 30 ints reports the whole
    // match and nine groups: a match that sets more gives 0 in both.
    std::unique_ptr<pcre2_match_data, matchdatafreer> md(pcre2_match_data_create(10, nullptr));
    std::unique_ptr<pcre2_match_context, matchcontextfreer> mc(pcre2_match_context_create(nullptr));
    if (!md || !mc) outofmemory("malloc failed in pstlib:countmatches!\n");
    // The match limit is the library's default, as in the classic library.
    pcre2_set_heap_limit(mc.get(), heaplimitkib);
    for (;;) {
        // PCRE2_NOTEMPTY is the guard against the empty-match trap.
        const int rc =
            pcre2_match(code.re, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                        static_cast<PCRE2_SIZE>(start), PCRE2_NOTEMPTY, md.get(), mc.get());
        if (rc <= 0) return classiccode(rc);
        ++count;
        start = static_cast<int>(pcre2_get_ovector_pointer(md.get())[1]);
    }
}

}  // namespace pst
