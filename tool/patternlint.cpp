#include "patternlint.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "counting/regexbackend.h"
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

// One piece of a pattern as the case options see it.
struct piece {
    enum kind { byte, escape, set, options, syntax } type;
    size_t at, end;
    bool caseless;  // the option in force where it stands
};

bool isupper_ascii(char c) {
    return c >= 'A' && c <= 'Z';
}

bool isalpha_ascii(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// The index after the closer of the text that starts at p[i], or p.size().
size_t after(const std::string& p, size_t i, char closer) {
    const size_t e = p.find(closer, i);
    return e == std::string::npos ? p.size() : e + 1;
}

// The option setting "(?flags)" or "(?flags:" whose letters start at p[i]:
// the index after it, whether it opens a group, and the case option after
// it; nothing when the "(?" starts something else.
struct setting {
    size_t end;
    bool group, caseless;
};
std::optional<setting> readsetting(const std::string& p, size_t i, bool caseless) {
    bool on = true;
    for (size_t j = i; j < p.size(); ++j) {
        const char c = p[j];
        if (c == ')' || c == ':')
            return j == i && c == ')' ? std::nullopt
                                      : std::optional<setting>({j + 1, c == ':', caseless});
        if (c == '-')
            on = false;
        else if (c == '^')
            caseless = false;
        else if (c == 'i')
            caseless = on;
        else if (!isalpha_ascii(c))
            return std::nullopt;
    }
    return std::nullopt;
}

// The index after the head of the group that starts "(?" at p[i] and is no
// option setting: its name ("(?<name>", "(?P<name>", "(?'name'"), the
// reference or call it is whole ("(?P=name)", "(?&name)", "(?1)", "(?C1)"),
// or just the "(?" and its kind.
size_t groupheadend(const std::string& p, size_t i) {
    const size_t k = i + 2;
    const char c = k < p.size() ? p[k] : '\0';
    if (c == '#') return after(p, k, ')');
    if (c == '\'') return after(p, k + 1, '\'');
    if (c == '<' && k + 1 < p.size() && p[k + 1] != '=' && p[k + 1] != '!') return after(p, k, '>');
    if (c == 'P' && k + 1 < p.size() && p[k + 1] == '<') return after(p, k, '>');
    if (c == 'P' || c == '&' || c == 'C' || c == 'R' || c == '+' || c == '-' ||
        std::isdigit(static_cast<unsigned char>(c)) != 0)
        return after(p, k, ')');
    return std::min(k + (c == '<' ? 2 : 1), p.size());
}

// The pieces of p in order, each with the case option in force.
std::vector<piece> piecesof(const std::string& p) {
    std::vector<piece> out;
    std::vector<bool> groups{false};  // the case option of each open group
    bool quoted = false;              // between "\Q" and "\E"
    for (size_t i = 0; i < p.size();) {
        const bool caseless = groups.back();
        if (quoted && p.compare(i, 2, "\\E") != 0) {
            out.push_back({piece::byte, i, i + 1, caseless});
            ++i;
            continue;
        }
        piece::kind type = piece::syntax;
        size_t end = i + 1;
        if (p[i] == '\\') {
            type = piece::escape;
            end = escapeend(p, i);
            if (p.compare(i, 2, "\\Q") == 0) quoted = true;
            if (p.compare(i, 2, "\\E") == 0) quoted = false;
        } else if (p[i] == '[') {
            type = piece::set;
            end = wholeclassend(p, i + 1);
        } else if (p.compare(i, 2, "(?") == 0) {
            if (const std::optional<setting> s = readsetting(p, i + 2, caseless)) {
                out.push_back({piece::options, i, s->end, caseless});
                if (s->group)
                    groups.push_back(s->caseless);
                else
                    groups.back() = s->caseless;
                i = s->end;
                continue;
            }
            end = groupheadend(p, i);
            // A reference or a comment is whole; anything else opens a group.
            if (p[end - 1] != ')') groups.push_back(caseless);
        } else if (p[i] == '(') {
            groups.push_back(caseless);
        } else if (p[i] == ')') {
            if (groups.size() > 1) groups.pop_back();
        } else {
            type = piece::byte;
        }
        out.push_back({type, i, end, caseless});
        i = end;
    }
    return out;
}

// The byte an escape at p[at] writes ("\\x2f", "\\x{2f}", "\\-", "\\n"), or -1
// for a set such as "\\w".
int escapevalue(const std::string& p, size_t at) {
    unsigned char byte = 0;
    return byteescape(p, at + 1, byte) != notsyntax ? byte : -1;
}

// An escape whose meaning without regard to case a rewrite cannot keep: a
// letter by its code, an octal code or back reference, a property.
bool unsafeescape(const std::string& p, size_t at) {
    const char e = at + 1 < p.size() ? p[at + 1] : '\0';
    if (e == 'x') {
        const int value = escapevalue(p, at);
        return value < 0 || std::isalpha(value) != 0;
    }
    return std::strchr("oNpP", e) != nullptr || std::isdigit(static_cast<unsigned char>(e)) != 0;
}

// One member of a class as written: its byte, or -1 for a set ("\\w",
// "[:alpha:]"); unsafe as above, or "[:upper:]", every letter without
// regard to case.
struct member {
    size_t at, end;
    int value;
    bool unsafe;
};
member readmember(const std::string& p, size_t j, size_t classend) {
    if (p.compare(j, 2, "[:") == 0) {
        const size_t e = std::min(classend, after(p, j + 2, ']'));
        return {j, e, -1, p.compare(j, 9, "[:upper:]") == 0};
    }
    if (p[j] == '\\') {
        const size_t e = std::min(classend, escapeend(p, j));
        return {j, e, escapevalue(p, j), unsafeescape(p, j)};
    }
    return {j, j + 1, static_cast<unsigned char>(p[j]), false};
}

// The first capital letter of the class at p[at..end) written as a letter
// (not an escape or a POSIX class's name), or 0.
char capitalinclass(const std::string& p, size_t at, size_t end) {
    for (size_t j = at + 1; j + 1 < end;) {
        const member m = readmember(p, j, end - 1);
        if (m.end - m.at == 1 && isupper_ascii(p[m.at])) return p[m.at];
        j = m.end;
    }
    return 0;
}

// The range lo-hi of a class in a text without capitals: as written when
// the lower case of each capital it holds is in it too, "a-z" for a range
// of capitals written as letters; false when no range can say it.
bool lowerrange(const std::string& p, const member& lo, const member& hi, std::string& out) {
    bool same = true;
    for (int c = std::max(lo.value, int{'A'}); c <= std::min(hi.value, int{'Z'}); ++c)
        same &= c + 32 >= lo.value && c + 32 <= hi.value;
    if (same) {
        out.append(p, lo.at, hi.end - lo.at);
        return true;
    }
    if (!isupper_ascii(static_cast<char>(lo.value)) ||
        !isupper_ascii(static_cast<char>(hi.value)) || lo.end - lo.at != 1 || hi.end - hi.at != 1)
        return false;
    out += {static_cast<char>(lo.value + 32), '-', static_cast<char>(hi.value + 32)};
    return true;
}

// The class at p[at..end) for a text without capitals, its capital letters
// in lower case; false when a range or a code makes that unsafe.
bool lowerclass(const std::string& p, size_t at, size_t end, std::string& out) {
    size_t j = at + 1;
    out += '[';
    if (j < end && p[j] == '^') out += p[j++];
    const size_t last = end - 1;  // the "]"
    while (j < last) {
        const member a = readmember(p, j, last);
        if (a.unsafe) return false;
        if (a.value >= 0 && a.end + 1 < last && p[a.end] == '-') {
            const member b = readmember(p, a.end + 1, last);
            if (b.unsafe) return false;
            if (b.value >= 0) {
                if (!lowerrange(p, a, b, out)) return false;
                j = b.end;
                continue;
            }
        }
        if (a.value >= 0 && isupper_ascii(static_cast<char>(a.value)))
            out += static_cast<char>(a.value + 32);
        else
            out.append(p, a.at, a.end - a.at);
        j = a.end;
    }
    out.append(p, last, end - last);
    return true;
}

// The option setting at p[at..end) without "i": "(?i)" goes, "(?i:"
// becomes "(?:", "(?im)" becomes "(?m)".
std::string withoutcaseless(const std::string& p, size_t at, size_t end) {
    std::string flags;
    for (size_t j = at + 2; j + 1 < end; ++j)
        if (p[j] != 'i') flags += p[j];
    if (!flags.empty() && flags.back() == '-') flags.pop_back();
    if (p[end - 1] == ')' && flags.empty()) return "";
    return "(?" + flags + p[end - 1];
}

}  // namespace

char casedcapital(const std::string& p) {
    for (const piece& k : piecesof(p)) {
        if (k.caseless) continue;
        if (k.type == piece::byte && isupper_ascii(p[k.at])) return p[k.at];
        if (k.type == piece::set)
            if (const char c = capitalinclass(p, k.at, k.end)) return c;
    }
    return 0;
}

bool setscaseless(const std::string& p) {
    bool any = false;
    for (const piece& k : piecesof(p)) any |= k.caseless;
    return any;
}

std::optional<std::string> foldedpattern(const std::string& p) {
    std::string out;
    for (const piece& k : piecesof(p)) {
        if (k.type == piece::options) {
            out += withoutcaseless(p, k.at, k.end);
        } else if (k.caseless && k.type == piece::byte) {
            out += isupper_ascii(p[k.at]) ? static_cast<char>(p[k.at] + 32) : p[k.at];
        } else if (k.caseless && k.type == piece::set) {
            if (!lowerclass(p, k.at, k.end, out)) return std::nullopt;
        } else if (k.caseless && k.type == piece::escape && unsafeescape(p, k.at)) {
            return std::nullopt;
        } else {
            out.append(p, k.at, k.end - k.at);
        }
    }
    std::string message;
    int offset = 0;
    if (regexcompileerror(out.c_str(), message, offset)) return std::nullopt;
    return out;
}

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
