#include <climits>
#include <cstdint>
#include <cstring>

#include "rules/rule.h"

namespace pst {

int parseweight(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate the magnitude with saturation: a weight beyond the int range
    // clamps instead of wrapping.
    constexpr int64_t limit = int64_t{INT_MAX} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;
    }
    if (negative) return static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

bool parserule(char* line, size_t len, rule& out) {
    if (len < 2) return false;
    out.exact = line[0] == '=';
    char* text = out.exact ? line + 1 : line;
    size_t textlen = len - (out.exact ? 1 : 0);
    if (auto* newline = static_cast<char*>(std::memchr(text, '\n', textlen))) {
        *newline = '\0';
        textlen = static_cast<size_t>(newline - text);
    }
    const auto* space = static_cast<const char*>(std::memchr(text, ' ', textlen));
    if (!space) return false;
    const auto weightlen = static_cast<size_t>(space - text);
    out.weight = parseweight(std::string_view(text, weightlen));
    out.pattern = std::string_view(space + 1, textlen - weightlen - 1);
    return true;
}

int addweighted(int score, int count, int weight, int factor) {
    // Unsigned arithmetic wraps without undefined behaviour; the conversion
    // back to int is two's complement.
    const uint32_t sum = static_cast<uint32_t>(score) + static_cast<uint32_t>(count) *
                                                            static_cast<uint32_t>(weight) *
                                                            static_cast<uint32_t>(factor);
    return static_cast<int>(sum);
}

}  // namespace pst
