#include "shape.h"

#include <algorithm>
#include <climits>

namespace pst {

struct patternshape::node {
    enum kind { item, group, assertion };
    kind k = item;
    byteset set;                                  // item: the bytes it matches
    uint64_t min = 1, max = 1;                    // item: repeat range
    std::vector<std::vector<node>> alternatives;  // group
};

namespace {

using node = patternshape::node;
constexpr uint64_t unbounded = UINT64_MAX;
constexpr int maxdepth = 32;

byteset allbytes() {
    return byteset().set();
}

byteset range(unsigned char lo, unsigned char hi) {
    byteset s;
    for (unsigned c = lo; c <= hi; ++c) s.set(c);
    return s;
}

bool isalnum_ascii(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The bytes a class escape matches, as a superset: an over-estimate only makes
// the work bound larger. Negated escapes are taken as every byte.
bool classescape(unsigned char e, byteset& out) {
    switch (e) {
        case 'd':
            out = range('0', '9');
            return true;
        case 's':
            out = range('\t', '\r');
            out.set(' ');
            return true;
        case 'w':
            out = range('0', '9') | range('a', 'z') | range('A', 'Z') | range(0x80, 0xFF);
            out.set('_');
            return true;
        case 'D':
        case 'S':
        case 'W':
            out = allbytes();
            return true;
        default:
            return false;
    }
}

// A byte written as an escape: "\n", "\t", ... or a non-alphanumeric byte.
bool literalescape(unsigned char e, unsigned char& out) {
    switch (e) {
        case 'n':
            out = '\n';
            return true;
        case 't':
            out = '\t';
            return true;
        case 'r':
            out = '\r';
            return true;
        case 'f':
            out = '\f';
            return true;
        case 'e':
            out = 0x1B;
            return true;
        case 'a':
            out = 0x07;
            return true;
        default:
            if (e == 0 || isalnum_ascii(e)) return false;
            out = e;
            return true;
    }
}

// Candidate sets of required literals are compared by their shortest member:
// the longer, the rarer in a text.
size_t strength(const std::vector<std::string>& set) {
    size_t s = SIZE_MAX;
    for (const auto& l : set) s = std::min(s, l.size());
    return set.empty() ? 0 : s;
}

class parser {
   public:
    explicit parser(std::string_view p) : p_(p) {}

    bool parse(patternshape& out) {
        auto root = std::make_shared<node>();
        root->k = node::group;
        std::vector<std::string> required;
        if (!alternation(*root, required, 0) || pos_ != p_.size()) return false;
        out.simple = true;
        out.required = std::move(required);
        out.root = std::move(root);
        return true;
    }

   private:
    bool more() const { return pos_ < p_.size(); }
    unsigned char peek(size_t ahead = 0) const {
        return pos_ + ahead < p_.size() ? static_cast<unsigned char>(p_[pos_ + ahead]) : 0;
    }

    // Alternatives up to a ")" or the end; required gets the union of the
    // alternatives' required literals, or stays empty if one has none.
    bool alternation(node& group, std::vector<std::string>& required, int depth) {
        if (depth > maxdepth) return false;
        bool allknown = true;
        for (;;) {
            std::vector<std::string> best;
            group.alternatives.emplace_back();
            if (!sequence(group.alternatives.back(), best, depth)) return false;
            if (best.empty()) allknown = false;
            required.insert(required.end(), best.begin(), best.end());
            if (peek() != '|' || !more()) break;
            ++pos_;
        }
        if (!allknown) required.clear();
        return true;
    }

    bool sequence(std::vector<node>& items, std::vector<std::string>& best, int depth) {
        std::string run;
        auto endrun = [&] {
            if (strength({run}) > strength(best)) best = {run};
            run.clear();
        };
        while (more() && peek() != '|' && peek() != ')') {
            node n;
            const unsigned char c = peek();
            if (c == '(') {
                if (peek(1) == '?' && peek(2) == ':')
                    pos_ += 3;
                else if (peek(1) == '?' || peek(1) == '*')
                    return false;
                else
                    ++pos_;
                n.k = node::group;
                std::vector<std::string> inner;
                if (!alternation(n, inner, depth + 1) || peek() != ')') return false;
                ++pos_;
                if (isquantifier(peek())) return false;  // a repeated group
                endrun();
                if (strength(inner) > strength(best)) best = std::move(inner);
                items.push_back(std::move(n));
                continue;
            }
            if (c == '^' || c == '$') {
                ++pos_;
                if (isquantifier(peek())) return false;
                n.k = node::assertion;
                items.push_back(std::move(n));
                continue;
            }
            bool literal = false;
            unsigned char byte = 0;
            if (c == '\\') {
                const unsigned char e = peek(1);
                pos_ += 2;
                if (e == 'b' || e == 'B') {
                    if (isquantifier(peek())) return false;
                    n.k = node::assertion;
                    items.push_back(std::move(n));
                    continue;
                }
                if (literalescape(e, byte))
                    literal = true;
                else if (!classescape(e, n.set))
                    return false;
            } else if (c == '[') {
                ++pos_;
                if (!charclass(n.set)) return false;
            } else if (c == '.') {
                ++pos_;
                n.set = allbytes();
            } else if (isquantifier(c)) {
                return false;
            } else {
                ++pos_;
                literal = true;
                byte = c;
            }
            if (literal) n.set.set(byte);
            if (!quantifier(n.min, n.max)) return false;
            if (literal) {
                // "ab{2,5}c" holds "abb" and "bbc"; "ab*c" holds "a" and "c".
                // A long repeat is cut to 64 bytes at either end of it.
                const auto k = static_cast<size_t>(std::min<uint64_t>(n.min, 64));
                run.append(k, static_cast<char>(byte));
                if (n.max != n.min || n.min > 64) {
                    endrun();
                    run.assign(k, static_cast<char>(byte));
                }
            } else {
                endrun();
            }
            items.push_back(std::move(n));
        }
        endrun();
        return true;
    }

    static bool isquantifier(unsigned char c) {
        return c == '*' || c == '+' || c == '?' || c == '{';
    }

    bool number(uint64_t& out) {
        size_t digits = 0;
        out = 0;
        while (peek() >= '0' && peek() <= '9' && digits < 6) {
            out = out * 10 + (peek() - '0');
            ++pos_;
            ++digits;
        }
        return digits > 0 && digits < 6 && out <= 65535;
    }

    bool quantifier(uint64_t& min, uint64_t& max) {
        const unsigned char c = peek();
        if (c == '*')
            min = 0, max = unbounded;
        else if (c == '+')
            min = 1, max = unbounded;
        else if (c == '?')
            min = 0, max = 1;
        else if (c == '{') {
            ++pos_;
            if (!number(min)) return false;
            max = min;
            if (peek() == ',') {
                ++pos_;
                if (peek() == '}')
                    max = unbounded;
                else if (!number(max) || max < min)
                    return false;
            }
            if (peek() != '}') return false;
        } else {
            return true;  // a single occurrence
        }
        ++pos_;
        if (peek() == '?' || peek() == '+') ++pos_;  // lazy or possessive
        return !isquantifier(peek());
    }

    // After the "[": members up to the closing "]", as a superset.
    bool charclass(byteset& set) {
        const bool negated = peek() == '^';
        if (negated) ++pos_;
        bool first = true;
        for (;;) {
            if (!more()) return false;
            const unsigned char c = peek();
            if (c == ']' && !first) break;
            first = false;
            if (c == '[' && (peek(1) == ':' || peek(1) == '.' || peek(1) == '=')) return false;
            unsigned char lo = c;
            if (c == '\\') {
                byteset s;
                if (classescape(peek(1), s)) {
                    set |= s;
                    pos_ += 2;
                    continue;
                }
                if (!literalescape(peek(1), lo)) return false;
                pos_ += 2;
            } else {
                ++pos_;
            }
            if (peek() == '-' && pos_ + 1 < p_.size() && peek(1) != ']') {
                const unsigned char hi = peek(1);
                if (hi == '\\' || hi == '[' || hi < lo) return false;
                set |= range(lo, hi);
                pos_ += 2;
            } else {
                set.set(lo);
            }
        }
        ++pos_;
        if (negated) set = allbytes();
        return true;
    }

    std::string_view p_;
    size_t pos_ = 0;
};

uint64_t saturatingmul(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

uint64_t saturatingadd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// Paths through the search tree and the choice points on the way: a repeat
// of a single item offers one branch per length it can take, a group one per
// alternative.
struct treesize {
    uint64_t paths = 1;
    uint64_t choices = 0;
};

treesize measure(const std::vector<node>& items, textfacts& text);

treesize measure(const node& n, textfacts& text) {
    treesize t;
    if (n.k == node::assertion) return t;
    if (n.k == node::group) {
        t.paths = 0;
        for (const auto& alt : n.alternatives) {
            const treesize a = measure(alt, text);
            t.paths = saturatingadd(t.paths, a.paths);
            t.choices = saturatingadd(t.choices, a.choices);
        }
        if (n.alternatives.size() > 1) t.choices = saturatingadd(t.choices, 1);
        return t;
    }
    if (n.max == n.min) return t;
    uint64_t longest = n.max;
    // A repeat cannot run past the longest stretch of text it matches.
    if (n.max - n.min > 64) longest = std::min(n.max, text.longestrun(n.set));
    if (longest < n.min) return t;  // it cannot match here at all
    t.paths = longest - n.min + 1;
    t.choices = 1;
    return t;
}

treesize measure(const std::vector<node>& items, textfacts& text) {
    treesize t;
    for (const auto& n : items) {
        const treesize s = measure(n, text);
        t.paths = saturatingmul(t.paths, s.paths);
        t.choices = saturatingadd(t.choices, s.choices);
    }
    return t;
}

bool consumesnothing(const node& n) {
    if (n.k == node::assertion) return true;
    if (n.k == node::item) return n.max == 0;
    for (const auto& alt : n.alternatives)
        for (const auto& item : alt)
            if (!consumesnothing(item)) return false;
    return true;
}

}  // namespace

bool matchesonlyempty(const patternshape& shape) {
    return shape.simple && shape.root && consumesnothing(*shape.root);
}

bool isliteral(std::string_view pattern) {
    return pattern.find_first_of("\\^$.[|()?*+{") == std::string_view::npos;
}

patternshape analyse(std::string_view pattern) {
    patternshape shape;
    parser(pattern).parse(shape);
    return shape;
}

uint64_t workbound(const patternshape& shape, textfacts& text) {
    if (!shape.simple || !shape.root) return UINT64_MAX;
    const treesize t = measure(*shape.root, text);
    // The tree has at most (depth + 1) nodes per path, and the matcher makes a
    // few calls per node at most; 4 is a generous allowance for the latter.
    return saturatingmul(4, saturatingmul(saturatingadd(t.choices, 2), t.paths));
}

}  // namespace pst
