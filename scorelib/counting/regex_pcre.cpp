// The classic PCRE library.
#include <pcre.h>

#include <cstring>
#include <new>

#include "counting/matchstack.h"
#include "counting/regexbackend.h"
#include "system/outofmemory.h"

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

uint64_t regexdefaultmatchlimit() {
    unsigned long limit = 0;
    if (pcre_config(PCRE_CONFIG_MATCH_LIMIT, &limit) != 0 || limit == 0) limit = 10'000'000;
    return limit;
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

struct regexmatcher::state {};

regexmatcher::regexmatcher(const regexcode& re, size_t /*memory: the stack bounds it*/) : re_(re) {
    unsigned long options = 0;
    int first = -2;
    if (pcre_fullinfo(re.re, nullptr, PCRE_INFO_OPTIONS, &options) == 0)
        starts_.anchored = (options & PCRE_ANCHORED) != 0;
    // -1: a match starts at the offset or after a newline; -2: anywhere.
    if (pcre_fullinfo(re.re, nullptr, PCRE_INFO_FIRSTBYTE, &first) != 0) first = -2;
    starts_.startline = first == -1;
    starts_.first = first >= 0 ? first : -1;
}

regexmatcher::~regexmatcher() = default;

int regexmatcher::exec(std::string_view text, size_t offset, bool anchored, uint64_t matchlimit,
                       unsigned long recursionlimit, size_t& mstart, size_t& mend) {
    pcre_extra extra{};
    extra.flags = PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit = static_cast<unsigned long>(matchlimit);
    extra.match_limit_recursion = recursionlimit;
    int ovector[30];
    // PCRE_NOTEMPTY is the guard against the empty-match trap: every accepted
    // match is non-empty.
    const int rc = pcre_exec(re_.re, &extra, text.data(), static_cast<int>(text.size()),
                             static_cast<int>(offset),
                             PCRE_NOTEMPTY | (anchored ? PCRE_ANCHORED : 0), ovector, 30);
    if (rc > 0) {
        mstart = static_cast<size_t>(ovector[0]);
        mend = static_cast<size_t>(ovector[1]);
    }
    return rc;
}

}  // namespace pst
