#include <climits>
#include <cstdint>
#include <cstring>

#include "rules/rule.h"

namespace pst {

std::pair<size_t, size_t> weightdigits(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    size_t j = i;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
    return {i, j};
}

int parseweight(std::string_view text) {
    const auto [first, end] = weightdigits(text);
    size_t i = first;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate the magnitude with saturation: a weight beyond the int range
    // clamps instead of wrapping.
    constexpr int64_t limit = int64_t{INT_MAX} + 1;
    int64_t magnitude = 0;
    for (; i < end; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;
    }
    if (negative) return static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

std::optional<rulespans> splitrule(std::string_view line) {
    if (line.size() < 2) return std::nullopt;
    rulespans s;
    s.exact = line[0] == '=';
    std::string_view text = line.substr(s.exact ? 1 : 0);
    text = text.substr(0, text.find('\n'));
    const size_t space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    s.weight = text.substr(0, space);
    s.pattern = text.substr(space + 1);
    return s;
}

std::optional<rule> parserule(std::string_view line) {
    const std::optional<rulespans> s = splitrule(line);
    if (!s) return std::nullopt;
    return rule{s->exact, parseweight(s->weight), s->pattern};
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
