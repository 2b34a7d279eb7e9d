// One line of the rule file.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace pst {

struct rule {
    bool exact = false;
    int weight = 0;
    std::string_view pattern;
};

// Where the parts of a rule line lie, as the plugin reads them: a leading
// "=" marks the rule exact; the weight is the text up to the first space,
// the pattern the rest of the line up to its first newline. The one reading
// of a rule line: the scan, check and the weight rewrite of corpus use it.
struct rulespans {
    bool exact = false;
    std::string_view weight;  // as written
    std::string_view pattern;
};
// Nothing for a line the plugin ignores: shorter than two bytes, or
// without a space.
std::optional<rulespans> splitrule(std::string_view line);

// The rule of one line, its pattern a view into the line; nothing for a
// line the plugin ignores.
std::optional<rule> parserule(std::string_view line);

// Where a weight's sign and digits lie in its text, as atoi reads them
// (after white space): [first, second).
std::pair<size_t, size_t> weightdigits(std::string_view text);

// Decimal weight as atoi reads it, clamped to the int range.
int parseweight(std::string_view text);

// score + count * weight * factor in 32-bit two's complement.
int addweighted(int score, int count, int weight, int factor);

}  // namespace pst
