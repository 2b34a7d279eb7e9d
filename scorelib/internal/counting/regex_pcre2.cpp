// PCRE2, for systems without the classic library. It keeps its backtracking
// frames on the heap, not the stack; its heap limit is the memory a deep
// search may take, as the classic library's stack is, so that both give up
// on the same hostile mail.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstring>
#include <new>

#include "counting/regexbackend.h"
#include "system/outofmemory.h"

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

std::string regexversion() {
    char version[64] = "";
    if (pcre2_config(PCRE2_CONFIG_VERSION, version) < 0) version[0] = '\0';
    return std::string("pcre2 ") + version;
}

stackextent stackextent::ofthisthread() {
    return {};  // the matcher's frames are on the heap
}

int rundeep(size_t, const stackextent&, int (*search)(void*, unsigned long), void* arg) {
    // The frames are on the heap, under the matcher's heap limit.
    return search(arg, 0);
}

uint64_t regexdefaultmatchlimit() {
    uint32_t limit = 0;
    if (pcre2_config(PCRE2_CONFIG_MATCHLIMIT, &limit) < 0 || limit == 0) limit = 10'000'000;
    return limit;
}

namespace {

struct compilecontextfreer {
    void operator()(pcre2_compile_context* cc) const noexcept { pcre2_compile_context_free(cc); }
};

// "\K" inside a lookaround is refused by default; the classic library accepts
// it, and the search loop ends such a match's count the same way for both.
pcre2_code* compilewithcontext(const char* pattern, int& errorcode, PCRE2_SIZE& erroffset,
                               uint32_t options = 0) {
    std::unique_ptr<pcre2_compile_context, compilecontextfreer> cc(
        pcre2_compile_context_create(nullptr));
    if (!cc) outofmemory(nomemoryforsearch);
    pcre2_set_compile_extra_options(cc.get(), PCRE2_EXTRA_ALLOW_LOOKAROUND_BSK);
    // The context's character tables are the library's built-in ASCII ones.
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                         PCRE2_DOTALL | PCRE2_NO_AUTO_CAPTURE | options, &errorcode, &erroffset,
                         cc.get());
}

}  // namespace

regexholder compileregex(const char* pattern, watch how) {
    int errorcode = 0;
    PCRE2_SIZE erroffset = 0;
    pcre2_code* re = nullptr;
    try {
        if (how != watch::none)
            re = compilewithcontext(watchedpattern(pattern).c_str(), errorcode, erroffset,
                                    how == watch::items ? PCRE2_AUTO_CALLOUT : 0);
        // The callouts make a pattern longer: one near the library's limit
        // of size is searched with the start callout alone.
        if (!re && how == watch::items && errorcode != PCRE2_ERROR_HEAP_FAILED)
            re = compilewithcontext(watchedpattern(pattern).c_str(), errorcode, erroffset);
    } catch (const std::bad_alloc&) {
        outofmemory(nomemoryforsearch);
    }
    // The callout never makes a pattern fail to compile that compiles
    // without it; if it did, the pattern is searched unwatched.
    if (!re && errorcode != PCRE2_ERROR_HEAP_FAILED)
        re = compilewithcontext(pattern, errorcode, erroffset);
    if (!re && errorcode == PCRE2_ERROR_HEAP_FAILED) outofmemory(nomemoryforsearch);
    if (!re) return {};
    auto* code = new (std::nothrow) regexcode{re};
    if (!code) {
        pcre2_code_free(re);
        outofmemory(nomemoryforsearch);
    }
    return regexholder(code);
}

bool regexcompileerror(const char* pattern, std::string& message, int& offset) {
    int errorcode = 0;
    PCRE2_SIZE erroffset = 0;
    pcre2_code* re = compilewithcontext(pattern, errorcode, erroffset);
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
            return regexnomemory;
        case PCRE2_ERROR_CALLOUT:
            return regexstopped;
        default:
            return rc;
    }
}

// The watch's callouts, and the callouts of the pattern's own: those are
// answered as the watch's of the same number, and never end a search that
// is within its allowance.
int startcallout(pcre2_callout_block* block, void* data) {
    if (!data) return 0;
    auto* watch = static_cast<startwatch*>(data);
    bool go = true;
    if (block->callout_number == watchcallout)
        go = watch->startat(block->start_match);
    else if (block->callout_number == itemcallout)
        go = watch->initem(block->current_position);
    return go ? 0 : PCRE2_ERROR_CALLOUT;
}

}  // namespace

struct regexmatcher::state {
    pcre2_match_data* md = nullptr;
    pcre2_match_context* mc = nullptr;
    ~state() {
        pcre2_match_data_free(md);
        pcre2_match_context_free(mc);
    }
};

regexmatcher::regexmatcher(const regexcode& re, size_t memory) : re_(re) {
    state_ = new (std::nothrow) state;
    // Ten pairs, as the classic offset vector of 30 ints reports the whole
    // match and nine groups: a match that sets more gives 0 in both.
    if (state_) state_->md = pcre2_match_data_create(10, nullptr);
    if (state_) state_->mc = pcre2_match_context_create(nullptr);
    if (!state_ || !state_->md || !state_->mc) {
        delete state_;
        outofmemory(nomemoryforsearch);
    }
    // The frames grow by doubling, the old vector kept while the new one is
    // filled: a limit of half keeps both within the memory given.
    const uint64_t kib = memory / 1024 / 2;
    pcre2_set_heap_limit(state_->mc, static_cast<uint32_t>(kib > UINT32_MAX ? UINT32_MAX : kib));

    pcre2_set_callout(state_->mc, startcallout, nullptr);
}

regexmatcher::~regexmatcher() {
    delete state_;
}

int regexmatcher::exec(std::string_view text, size_t offset,
                       unsigned long /*recursionlimit: the heap limit bounds it*/,
                       startwatch* watch, size_t& mstart, size_t& mend) {
    // The match limit is the library's default, as in the straightforward
    // evaluation, so that it ends a search at the same start position.
    pcre2_set_callout(state_->mc, startcallout, watch);
    // PCRE2_NOTEMPTY is the guard against the empty-match trap.
    const int rc = pcre2_match(re_.re, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                               offset, PCRE2_NOTEMPTY, state_->md, state_->mc);
    if (rc > 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(state_->md);
        mstart = ov[0];
        mend = ov[1];
    }
    return classiccode(rc);
}

int regexmatcher::tryat(std::string_view text, size_t position, uint64_t matchlimit, size_t& mstart,
                        size_t& mend) {
    pcre2_set_callout(state_->mc, nullptr, nullptr);
    pcre2_set_match_limit(state_->mc,
                          static_cast<uint32_t>(matchlimit > UINT32_MAX ? UINT32_MAX : matchlimit));
    const int rc = pcre2_match(re_.re, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                               position, PCRE2_NOTEMPTY | PCRE2_ANCHORED, state_->md, state_->mc);
    pcre2_set_match_limit(state_->mc, static_cast<uint32_t>(regexdefaultmatchlimit()));
    if (rc > 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(state_->md);
        mstart = ov[0];
        mend = ov[1];
    }
    return classiccode(rc);
}

}  // namespace pst
