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

std::string regexversion() {
    return std::string("pcre ") + pcre_version();
}

uint64_t regexdefaultmatchlimit() {
    unsigned long limit = 0;
    if (pcre_config(PCRE_CONFIG_MATCH_LIMIT, &limit) != 0 || limit == 0) limit = 10'000'000;
    return limit;
}

namespace {

// The library's code for "failed to get memory": the pattern is not at
// fault, and counting it as not compiling would change the score.
constexpr int outofmemorycode = 21;

pcre* compilepcre(const char* pattern, int& errorcode, int options = 0) {
    const char* error = nullptr;
    int erroffset = 0;
    // No table pointer: the library's built-in ASCII tables apply.
    pcre* re = pcre_compile2(pattern, PCRE_DOTALL | PCRE_NO_AUTO_CAPTURE | options, &errorcode,
                             &error, &erroffset, nullptr);
    if (!re && errorcode == outofmemorycode) outofmemory(nomemoryforsearch);
    return re;
}

// The watch's callouts, and the callouts of the pattern's own: those are
// answered as the watch's of the same number, and never end a search that
// is within its allowance.
int startcallout(pcre_callout_block* block) {
    if (!block->callout_data) return 0;
    auto* watch = static_cast<startwatch*>(block->callout_data);
    bool go = true;
    if (block->callout_number == watchcallout)
        go = watch->startat(static_cast<size_t>(block->start_match));
    else if (block->callout_number == itemcallout)
        go = watch->initem(static_cast<size_t>(block->current_position));
    return go ? 0 : PCRE_ERROR_CALLOUT;
}

}  // namespace

regexholder compileregex(const char* pattern, watch how) {
    int errorcode = 0;
    pcre* re = nullptr;
    try {
        if (how != watch::none)
            re = compilepcre(watchedpattern(pattern).c_str(), errorcode,
                             how == watch::items ? PCRE_AUTO_CALLOUT : 0);
        // The callouts make a pattern longer: one near the library's limit
        // of size is searched with the start callout alone.
        if (!re && how == watch::items)
            re = compilepcre(watchedpattern(pattern).c_str(), errorcode);
    } catch (const std::bad_alloc&) {
        outofmemory(nomemoryforsearch);
    }
    // The callout never makes a pattern fail to compile that compiles
    // without it; if it did, the pattern is searched unwatched.
    if (!re) re = compilepcre(pattern, errorcode);
    if (!re) return {};
    auto* code = new (std::nothrow) regexcode{re};
    if (!code) {
        pcre_free(re);
        outofmemory(nomemoryforsearch);
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
    // The library's one hook for callouts, set once for every thread.
    [[maybe_unused]] static const bool installed = (pcre_callout = startcallout, true);
}

regexmatcher::~regexmatcher() = default;

int regexmatcher::exec(std::string_view text, size_t offset, unsigned long recursionlimit,
                       startwatch* watch, size_t& mstart, size_t& mend) {
    // The match limit is the library's default, as in the straightforward
    // evaluation, so that it ends a search at the same start position.
    pcre_extra extra{};
    extra.flags = PCRE_EXTRA_MATCH_LIMIT_RECURSION | PCRE_EXTRA_CALLOUT_DATA;
    extra.match_limit_recursion = recursionlimit;
    extra.callout_data = watch;
    int ovector[30];
    // PCRE_NOTEMPTY is the guard against the empty-match trap: every accepted
    // match is non-empty.
    const int rc = pcre_exec(re_.re, &extra, text.data(), static_cast<int>(text.size()),
                             static_cast<int>(offset), PCRE_NOTEMPTY, ovector, 30);
    if (rc > 0) {
        mstart = static_cast<size_t>(ovector[0]);
        mend = static_cast<size_t>(ovector[1]);
    }
    return rc;
}

int regexmatcher::tryat(std::string_view text, size_t position, uint64_t matchlimit, size_t& mstart,
                        size_t& mend) {
    pcre_extra extra{};
    extra.flags = PCRE_EXTRA_MATCH_LIMIT;
    extra.match_limit = static_cast<unsigned long>(matchlimit);
    int ovector[30];
    const int rc =
        pcre_exec(re_.re, &extra, text.data(), static_cast<int>(text.size()),
                  static_cast<int>(position), PCRE_NOTEMPTY | PCRE_ANCHORED, ovector, 30);
    if (rc > 0) {
        mstart = static_cast<size_t>(ovector[0]);
        mend = static_cast<size_t>(ovector[1]);
    }
    return rc;
}

}  // namespace pst
