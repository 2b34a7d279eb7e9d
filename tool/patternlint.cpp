#include "patternlint.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "fastpath/patternsyntax.h"
#include "fastpath/shape.h"

namespace pst {
namespace {

// The length of the quantifier at p[i], 0 if none; whether it is unbounded.
size_t quantifier(const std::string& p, size_t i, bool& unbounded) {
    uint64_t min = 1, max = 1;
    const size_t n = readquantifier(p, i, min, max);
    unbounded = n != 0 && n != notsyntax && max == unboundedrepeat;
    return n == notsyntax ? 0 : n;
}

// How many bytes a class "[...]" names (after the "["), as a superset; at
// end the index after its "]". A class the shared reader does not take
// (POSIX classes, ...) counts as every byte.
size_t classsize(const std::string& p, size_t i, size_t& end) {
    byteset set;
    end = readclass(p, i, set);
    if (end != notsyntax) return set.count();
    end = skipclass(p, i);
    return 256;
}

}  // namespace

char capitaloutsideescape(const std::string& p) {
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\') {
            ++i;
            continue;
        }
        if (p[i] >= 'A' && p[i] <= 'Z') return p[i];
    }
    return 0;
}

// One pass with a stack of the open groups, each marking whether it holds
// an unbounded repeat (directly or in a group within it). A group that
// closes so marked and is itself repeated without bound is the nesting;
// a repeat of any kind after a marked group marks the group around it.
bool nestedunboundedrepeat(const std::string& p) {
    std::vector<bool> groups;  // per open group: holds an unbounded repeat
    bool found = false;
    auto repeated = [&](size_t& i, bool inner) {
        bool unbounded = false;
        i += quantifier(p, i, unbounded);
        if (unbounded && inner) found = true;
        if ((unbounded || inner) && !groups.empty()) groups.back() = true;
    };
    for (size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (c == '(') {
            groups.push_back(false);
            ++i;
        } else if (c == ')') {
            const bool inner = !groups.empty() && groups.back();
            if (!groups.empty()) groups.pop_back();
            ++i;
            repeated(i, inner);
        } else {
            if (c == '\\') {
                i += 2;
            } else if (c == '[') {
                i = skipclass(p, i + 1);
            } else {
                ++i;
            }
            repeated(i, false);
        }
    }
    return found;
}

bool quadraticrepeat(const std::string& p) {
    constexpr size_t broad = 16;
    for (size_t i = 0; i < p.size();) {
        size_t width = 1, next = i + 1;
        if (p[i] == '\\' && i + 1 < p.size()) {
            byteset set;
            width = classescape(static_cast<unsigned char>(p[i + 1]), set) ? set.count() : 1;
            next = i + 2;
        } else if (p[i] == '[') {
            width = classsize(p, i + 1, next);
        } else if (p[i] == '.') {
            width = 256;
        } else if (p[i] == '(' || p[i] == ')' || p[i] == '|') {
            width = 0;
        }
        bool unbounded = false;
        const size_t q = quantifier(p, next, unbounded);
        size_t after = next + q;
        while (after < p.size() && p[after] == ')') {
            bool outer = false;
            after += 1 + quantifier(p, after + 1, outer);
        }
        if (width > broad && unbounded && after < p.size() && p[after] != '|') return true;
        i = next;
    }
    return false;
}

bool resetinlookaround(const std::string& p) {
    std::vector<bool> lookaround;  // per open group
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\') {
            if (i + 1 < p.size() && p[i + 1] == 'K' &&
                std::find(lookaround.begin(), lookaround.end(), true) != lookaround.end())
                return true;
            ++i;
        } else if (p[i] == '[') {
            size_t end = i + 1;
            classsize(p, i + 1, end);
            i = end - 1;
        } else if (p[i] == '(') {
            const std::string_view rest = std::string_view(p).substr(i);
            lookaround.push_back(rest.starts_with("(?=") || rest.starts_with("(?!") ||
                                 rest.starts_with("(?<=") || rest.starts_with("(?<!"));
        } else if (p[i] == ')' && !lookaround.empty()) {
            lookaround.pop_back();
        }
    }
    return false;
}

bool wholetextanchor(const std::string& p) {
    bool anchor = false;
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '\\') {
            ++i;
        } else if (p[i] == '[') {
            size_t end = 0;
            classsize(p, i + 1, end);
            i = end - 1;
        } else if (p[i] == '^' || p[i] == '$') {
            anchor = true;
        } else if (p.compare(i, 2, "(?") == 0) {
            // An option setting such as "(?m)" or "(?im:": multi-line mode
            // somewhere, and the anchors may well be meant for lines.
            size_t j = i + 2;
            while (j < p.size() && std::isalpha(static_cast<unsigned char>(p[j])) != 0) {
                if (p[j] == 'm') return false;
                ++j;
            }
        }
    }
    return anchor;
}

bool squareatoneposition(const std::string& p) {
    if (!scansinsidegiveback(p)) return false;
    const patternshape shape = analyse(p);
    if (!shape.simple) return false;
    // Twice the runs, four times the work: the square of the text.
    constexpr uint64_t run = 1000;
    const uint64_t once = positionworkupto(shape, run), twice = positionworkupto(shape, 2 * run);
    return once != UINT64_MAX && twice > 3 * once;
}

}  // namespace pst
