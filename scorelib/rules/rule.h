// One line of the rule file.
#pragma once

#include <string_view>

namespace pst {

struct rule {
    bool exact = false;
    int weight = 0;
    std::string_view pattern;  // NUL-terminated in the caller's buffer
};

// Parses one rule line of the given string length. Cuts the line at its first
// newline by writing a NUL there. Returns false for lines the plugin ignores.
bool parserule(char* line, size_t len, rule& out);

// Decimal weight as atoi reads it, clamped to the int range.
int parseweight(std::string_view text);

// score + count * weight * factor in 32-bit two's complement.
int addweighted(int score, int count, int weight, int factor);

}  // namespace pst
