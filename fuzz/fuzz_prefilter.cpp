// A pattern's prefilter strings against the library on arbitrary patterns
// and texts: where the library finds a match, or reports an error, in a
// text no longer than the pattern's quiet bound, the text holds one of the
// strings. Input: the pattern, a NUL byte, the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "counting/counter.h"
#include "counting/regexbackend.h"
#include "fastpath/prefilterpattern.h"
#include "sink.h"

namespace {

class reports final : public pst::evalsink {
   public:
    bool any = false;
    void message(const read&) override {}
    void hit(const pst::rulehit&) override { any = true; }
    void compilefailed(const char*, int) override { any = true; }
    void searchfailed(int, const char*, int) override { any = true; }
    void cannotopen(file) override { any = true; }
    void readfailed(file) override { any = true; }
    void exhausted(const char*) override { any = true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const size_t cut = in.find('\0');
    if (cut == std::string_view::npos) return 0;
    const std::string pattern(in.substr(0, cut));
    const std::string_view text = in.substr(cut + 1);
    const pst::prefilterpattern p = pst::prefilterfor(pattern);
    if (!p.usable || text.size() > p.quietupto) return 0;
    bool held = false;
    for (const std::string& s : p.strings) held = held || text.find(s) != std::string_view::npos;
    // A rule whose pattern does not compile is never left out: the form
    // notes that it does not.
    if (held || !pst::compileregex(pattern.c_str(), pst::watch::none)) return 0;
    reports r;
    if (pst::countonce(text, pattern.c_str(), r) > 0 || r.any) std::abort();
    return 0;
}
