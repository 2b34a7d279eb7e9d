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

int rundeep(size_t, int (*search)(void*, unsigned long), void* arg) {
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
pcre2_code* compilewithcontext(const char* pattern, int& errorcode, PCRE2_SIZE& erroffset) {
    std::unique_ptr<pcre2_compile_context, compilecontextfreer> cc(
        pcre2_compile_context_create(nullptr));
    if (!cc) outofmemory("malloc failed in pstlib:countmatches!\n");
    pcre2_set_compile_extra_options(cc.get(), PCRE2_EXTRA_ALLOW_LOOKAROUND_BSK);
    // The context's character tables are the library's built-in ASCII ones.
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                         PCRE2_DOTALL | PCRE2_NO_AUTO_CAPTURE, &errorcode, &erroffset, cc.get());
}

}  // namespace

regexholder compileregex(const char* pattern) {
    int errorcode = 0;
    PCRE2_SIZE erroffset = 0;
    pcre2_code* re = compilewithcontext(pattern, errorcode, erroffset);
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
        default:
            return rc;
    }
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
        outofmemory("malloc failed in pstlib:countmatches!\n");
    }
    // The frames grow by doubling, the old vector kept while the new one is
    // filled: a limit of half keeps both within the memory given.
    const uint64_t kib = memory / 1024 / 2;
    pcre2_set_heap_limit(state_->mc, static_cast<uint32_t>(kib > UINT32_MAX ? UINT32_MAX : kib));

    uint32_t options = 0, type = 0, unit = 0;
    const uint8_t* bitmap = nullptr;
    if (pcre2_pattern_info(re.re, PCRE2_INFO_ALLOPTIONS, &options) == 0)
        starts_.anchored = (options & PCRE2_ANCHORED) != 0;
    if (pcre2_pattern_info(re.re, PCRE2_INFO_FIRSTCODETYPE, &type) != 0) type = 0;
    starts_.startline = type == 2;
    if (type == 1 && pcre2_pattern_info(re.re, PCRE2_INFO_FIRSTCODEUNIT, &unit) == 0)
        starts_.first = static_cast<int>(unit & 0xFF);
    if (type == 0 && pcre2_pattern_info(re.re, PCRE2_INFO_FIRSTBITMAP, &bitmap) == 0 && bitmap) {
        std::memcpy(starts_.bitmap, bitmap, sizeof starts_.bitmap);
        starts_.hasbitmap = true;
    }
}

regexmatcher::~regexmatcher() {
    delete state_;
}

int regexmatcher::exec(std::string_view text, size_t offset, bool anchored, uint64_t matchlimit,
                       unsigned long /*recursionlimit: the heap limit bounds it*/, size_t& mstart,
                       size_t& mend) {
    pcre2_set_match_limit(state_->mc,
                          static_cast<uint32_t>(matchlimit > UINT32_MAX ? UINT32_MAX : matchlimit));
    // PCRE2_NOTEMPTY is the guard against the empty-match trap.
    const int rc =
        pcre2_match(re_.re, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), offset,
                    PCRE2_NOTEMPTY | (anchored ? PCRE2_ANCHORED : 0), state_->md, state_->mc);
    if (rc > 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(state_->md);
        mstart = ov[0];
        mend = ov[1];
    }
    return classiccode(rc);
}

}  // namespace pst
