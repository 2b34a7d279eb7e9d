// The case-folding duplicates and the Subject tag removal over arbitrary
// strings, against plain reference versions written from their definitions.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message/subject.h"
#include "scorelib.h"

namespace {

std::string fold(const std::string& s, bool upper) {
    std::string out = s;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;  // the byte after a backslash stays as it is
            continue;
        }
        const char from = upper ? 'a' : 'A', to = upper ? 'A' : 'a';
        if (s[i] >= from && s[i] <= from + 25) out[i] = static_cast<char>(s[i] - from + to);
    }
    return out;
}

// Cut from the first "[" through the first "]", again and again, rescanning
// from the start each time.
std::string removetagsslowly(std::string line) {
    for (;;) {
        const int f = chrpos(line.c_str(), '['), g = chrpos(line.c_str(), ']');
        if (g < f || f == -1 || g == -1) return line;
        line.erase(static_cast<size_t>(f), static_cast<size_t>(g - f + 1));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    s = s.substr(0, std::strlen(s.c_str()));  // the functions take C strings
    for (const bool upper : {false, true}) {
        char* folded = upper ? ucstrdup(s.c_str()) : lcstrdup(s.c_str());
        if (std::string(folded) != fold(s, upper) || std::strlen(folded) != s.size()) std::abort();
        std::free(folded);
    }
    std::string line = s;
    const size_t len = pst::removetags(line.data(), line.size());
    if (line.substr(0, len) != removetagsslowly(s) || line.c_str()[len] != '\0') std::abort();
    return 0;
}
