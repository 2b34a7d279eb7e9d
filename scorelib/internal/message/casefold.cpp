#include "message/casefold.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system/outofmemory.h"

namespace pst {
namespace {

using casemap = std::array<unsigned char, 256>;

constexpr casemap makemap(unsigned char from, unsigned char to) {
    casemap m{};
    for (int i = 0; i < 256; ++i) m[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 26; ++i) m[from + i] = static_cast<unsigned char>(to + i);
    return m;
}

constexpr casemap lowermap = makemap('A', 'a');
constexpr casemap uppermap = makemap('a', 'A');

void foldcopy(const char* src, size_t len, char* dst, const casemap& map) {
    size_t i = 0;
    while (i < len) {
        const auto c = static_cast<unsigned char>(src[i]);
        if (c != '\\') {
            dst[i++] = static_cast<char>(map[c]);
            continue;
        }
        // An escape keeps its byte: '\d' must not become '\D'.
        dst[i++] = '\\';
        if (i < len) {
            dst[i] = src[i];
            ++i;
        }
    }
    dst[len] = '\0';
}

char* folddup(const char* s, size_t len, const casemap& map, const char* oomtext) {
    auto* dst = static_cast<char*>(std::malloc(len + 1));
    if (!dst) outofmemory(oomtext);
    foldcopy(s, len, dst, map);
    return dst;
}

}  // namespace

char* lcstrndup(const char* s, size_t len) {
    return folddup(s, len, lowermap, nomemoryforlcstrdup);
}

char* ucstrndup(const char* s, size_t len) {
    return folddup(s, len, uppermap, nomemoryforucstrdup);
}

}  // namespace pst
