#include "fastpath/prefilterpattern.h"

#include <algorithm>
#include <vector>

#include "fastpath/patternsyntax.h"

namespace pst {
namespace {

struct node {
    enum class kind { bytes, assertion, look, seq, alt };
    kind k = kind::seq;
    byteset set;
    std::vector<node> kids;
    uint64_t min = 1, max = 1;
};

unsigned char at(std::string_view p, size_t i) {
    return i < p.size() ? static_cast<unsigned char>(p[i]) : 0;
}

// The library's built-in tables are those of the C locale: its classes
// hold ASCII bytes only.
byteset wordbytes() {
    byteset s = byterange('0', '9') | byterange('a', 'z') | byterange('A', 'Z');
    s.set('_');
    return s;
}

// Exactly the bytes of a class escape, as the library's tables have them.
bool exactclassescape(unsigned char e, byteset& out) {
    switch (e) {
        case 'd':
        case 'D':
            out = byterange('0', '9');
            break;
        case 'w':
        case 'W':
            out = wordbytes();
            break;
        case 's':
        case 'S':
            out = byterange('\t', '\r');  // with the vertical tab, as both libraries read it
            out.set(' ');
            break;
        default:
            return false;
    }
    if (e >= 'A' && e <= 'Z') out.flip();
    return true;
}

bool hexdigit(unsigned char c, unsigned& v) {
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return false;
    return true;
}

// The byte of the escape at p[i] (just after its backslash) that is one
// byte: "\n", "\x41", "\x{41}", "\.", ...; the index after it, or notsyntax.
size_t byteescape(std::string_view p, size_t i, unsigned char& out) {
    const unsigned char e = at(p, i);
    if (e != 'x') return literalescape(e, out) ? i + 1 : notsyntax;
    ++i;
    unsigned value = 0, digit = 0;
    if (at(p, i) == '{') {
        size_t j = i + 1;
        while (hexdigit(at(p, j), digit) && value <= 0xFF) value = value * 16 + digit, ++j;
        if (j == i + 1 || at(p, j) != '}' || value > 0xFF) return notsyntax;
        out = static_cast<unsigned char>(value);
        return j + 1;
    }
    // Up to two hex digits; none is the byte 0.
    for (int n = 0; n < 2 && hexdigit(at(p, i), digit); ++n, ++i) value = value * 16 + digit;
    out = static_cast<unsigned char>(value);
    return i;
}

void addcases(byteset& s) {
    for (unsigned c = 'a'; c <= 'z'; ++c)
        if (s.test(c) || s.test(c - 'a' + 'A')) s.set(c), s.set(c - 'a' + 'A');
}

// Reads a pattern into a tree of bytes, assertions and repeats. Where an
// option makes part of it caseless, every byte and non-negated class is read
// caseless throughout: a superset. A negated class keeps the members it
// names, which only makes it larger.
class reader {
   public:
    reader(std::string_view p, bool caseless) : p_(p), caseless_(caseless) {}

    bool read(node& root) {
        if (!alternatives(root, 0) || i_ != p_.size()) return false;
        return true;
    }
    bool sawcaseless() const { return sawcaseless_; }

   private:
    static constexpr int deepest = 200;

    bool alternatives(node& out, int depth) {
        if (depth > deepest) return false;
        out.k = node::kind::alt;
        for (;;) {
            node s;
            if (!sequence(s, depth)) return false;
            out.kids.push_back(std::move(s));
            if (at(p_, i_) != '|') break;
            ++i_;
        }
        return true;
    }

    bool sequence(node& out, int depth) {
        out.k = node::kind::seq;
        while (i_ < p_.size() && p_[i_] != '|' && p_[i_] != ')') {
            node a;
            bool nothing = false;
            if (!atom(a, nothing, depth)) return false;
            if (nothing) continue;
            uint64_t min = 1, max = 1;
            const size_t q = readquantifier(p_, i_, min, max);
            if (q == notsyntax) return false;
            if (q > 0) {
                if (a.k == node::kind::assertion || a.k == node::kind::look) return false;
                if (a.min != 1 || a.max != 1) {  // a group already repeated
                    node g;
                    g.kids.push_back(std::move(a));
                    a = std::move(g);
                }
                a.min = min, a.max = max;
                i_ += q;
            }
            out.kids.push_back(std::move(a));
        }
        return true;
    }

    bool group(node& out, node::kind k, size_t skip, int depth) {
        i_ += skip;
        node inner;
        if (!alternatives(inner, depth + 1) || at(p_, i_) != ')') return false;
        ++i_;
        if (k == node::kind::look) {
            out.k = k;
            out.kids.push_back(std::move(inner));
        } else {
            out = std::move(inner);
        }
        return true;
    }

    // "(?" at i_: a group, a lookaround, a comment or an option setting.
    bool special(node& out, bool& nothing, int depth) {
        const unsigned char c = at(p_, i_ + 2);
        if (c == ':' || c == '>') return group(out, node::kind::seq, 3, depth);
        if (c == '=' || c == '!') return group(out, node::kind::look, 3, depth);
        if (c == '<' && (at(p_, i_ + 3) == '=' || at(p_, i_ + 3) == '!'))
            return group(out, node::kind::look, 4, depth);
        if (c == '#') {
            const size_t end = p_.find(')', i_);
            if (end == std::string_view::npos) return false;
            i_ = end + 1;
            nothing = true;
            return true;
        }
        if (c == '<' || c == '\'' || (c == 'P' && at(p_, i_ + 3) == '<')) {
            const char close = c == '\'' ? '\'' : '>';
            const size_t end = p_.find(close, i_ + 3);
            if (end == std::string_view::npos) return false;
            return group(out, node::kind::seq, end + 1 - i_, depth);
        }
        // Options: i, m and s only; dot-all is on already and "m" moves
        // only anchors, which the language leaves out.
        size_t j = i_ + 2;
        bool negative = false;
        for (;; ++j) {
            const unsigned char o = at(p_, j);
            if (o == '-') {
                negative = true;
            } else if (o == 'i') {
                sawcaseless_ = sawcaseless_ || !negative;
            } else if (o != 'm' && o != 's') {
                break;
            }
        }
        if (at(p_, j) == ')') {
            i_ = j + 1;
            nothing = true;
            return true;
        }
        if (at(p_, j) == ':') return group(out, node::kind::seq, j + 1 - i_, depth);
        return false;
    }

    bool escape(node& out) {
        const unsigned char e = at(p_, i_ + 1);
        if (exactclassescape(e, out.set)) {
            out.k = node::kind::bytes;
            i_ += 2;
            return true;
        }
        if (e == 'b' || e == 'B' || e == 'A' || e == 'z' || e == 'Z' || e == 'G') {
            out.k = node::kind::assertion;
            i_ += 2;
            return true;
        }
        unsigned char b = 0;
        const size_t after = byteescape(p_, i_ + 1, b);
        if (after == notsyntax) return false;
        i_ = after;
        single(out, b);
        return true;
    }

    void single(node& out, unsigned char b) {
        out.k = node::kind::bytes;
        out.set.reset();
        out.set.set(b);
        if (caseless_) addcases(out.set);
    }

    // The members of the class whose members start at p_[i], as the library
    // reads them; false for what is not read here (POSIX classes, ...).
    bool members(byteset& set, bool& negated) {
        size_t i = i_ + 1;
        negated = at(p_, i) == '^';
        if (negated) ++i;
        for (bool first = true;; first = false) {
            if (i >= p_.size()) return false;
            const unsigned char c = at(p_, i);
            if (c == ']' && !first) break;
            if (c == '[' && (at(p_, i + 1) == ':' || at(p_, i + 1) == '.' || at(p_, i + 1) == '='))
                return false;
            unsigned char lo = c;
            if (c == '\\') {
                byteset s;
                if (exactclassescape(at(p_, i + 1), s)) {
                    set |= s;
                    i += 2;
                    continue;
                }
                if (at(p_, i + 1) == 'b') {
                    lo = '\b';
                    i += 2;
                } else if ((i = byteescape(p_, i + 1, lo)) == notsyntax) {
                    return false;
                }
            } else {
                ++i;
            }
            if (at(p_, i) == '-' && i + 1 < p_.size() && at(p_, i + 1) != ']') {
                unsigned char hi = at(p_, i + 1);
                i += 2;
                if (hi == '\\') {
                    if (at(p_, i) == 'b') {
                        hi = '\b';
                        ++i;
                    } else if ((i = byteescape(p_, i, hi)) == notsyntax) {
                        return false;
                    }
                } else if (hi == '[') {
                    return false;
                }
                if (hi < lo) return false;
                set |= byterange(lo, hi);
            } else {
                set.set(lo);
            }
        }
        i_ = i + 1;
        return true;
    }

    bool atom(node& out, bool& nothing, int depth) {
        const unsigned char c = at(p_, i_);
        switch (c) {
            case '(':
                if (at(p_, i_ + 1) == '?') return special(out, nothing, depth);
                if (at(p_, i_ + 1) == '*') return false;  // verbs
                return group(out, node::kind::seq, 1, depth);
            case '[': {
                bool negated = false;
                if (!members(out.set, negated)) return false;
                out.k = node::kind::bytes;
                if (negated)
                    out.set.flip();
                else if (caseless_)
                    addcases(out.set);
                return true;
            }
            case '.':
                out.k = node::kind::bytes;
                out.set = allbytes();
                ++i_;
                return true;
            case '^':
            case '$':
                out.k = node::kind::assertion;
                ++i_;
                return true;
            case '\\':
                return escape(out);
            case '*':
            case '+':
            case '?':
            case '{':
                return false;
            default:
                single(out, c);
                ++i_;
                return true;
        }
    }

    std::string_view p_;
    size_t i_ = 0;
    bool caseless_;
    bool sawcaseless_ = false;
};

constexpr uint64_t saturated = uint64_t{1} << 62;

uint64_t add(uint64_t a, uint64_t b) {
    return a + b >= saturated ? saturated : a + b;
}
uint64_t mul(uint64_t a, uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > saturated / b ? saturated : a * b;
}

uint64_t shortest(const node& x) {
    uint64_t once = 0;
    switch (x.k) {
        case node::kind::bytes:
            once = 1;
            break;
        case node::kind::assertion:
        case node::kind::look:
            break;
        case node::kind::seq:
            for (const node& k : x.kids) once = add(once, shortest(k));
            break;
        case node::kind::alt:
            once = saturated;
            for (const node& k : x.kids) once = std::min(once, shortest(k));
            break;
    }
    return mul(once, x.min);
}

// A repeat wider than this is written unbounded, and a minimum larger than
// it is lowered to it: the language only grows, and the prefilter's
// automaton stays small.
constexpr uint64_t widestrepeat = 4;

void writebytes(const byteset& s, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    auto put = [&](unsigned b) {
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 15];
    };
    if (s.count() == 1) {
        for (unsigned b = 0; b < 256; ++b)
            if (s.test(b)) put(b);
        return;
    }
    out += '[';
    for (unsigned b = 0; b < 256;) {
        if (!s.test(b)) {
            ++b;
            continue;
        }
        unsigned e = b;
        while (e + 1 < 256 && s.test(e + 1)) ++e;
        put(b);
        if (e > b) {
            out += '-';
            put(e);
        }
        b = e + 1;
    }
    out += ']';
}

// The language of x, or "" for one that holds only the empty text.
std::string language(const node& x) {
    std::string body;
    switch (x.k) {
        case node::kind::bytes:
            if (x.set.none()) return "[^\\x00-\\xff]";  // matches nothing
            writebytes(x.set, body);
            break;
        case node::kind::assertion:
        case node::kind::look:
            return "";
        case node::kind::seq:
            for (const node& k : x.kids) body += language(k);
            break;
        case node::kind::alt: {
            std::string branches;
            bool empty = false;
            for (const node& k : x.kids) {
                const std::string b = language(k);
                if (b.empty()) {
                    empty = true;
                    continue;
                }
                if (!branches.empty()) branches += '|';
                branches += b;
            }
            if (branches.empty()) return "";
            body = "(?:" + branches + ")";
            if (empty) body += '?';
            break;
        }
    }
    if (body.empty() || (x.min == 1 && x.max == 1)) return body;
    const uint64_t min = std::min(x.min, widestrepeat);
    std::string quantified = "(?:" + body + ")";
    if (x.max == unboundedrepeat || x.max > widestrepeat) {
        quantified += min == 0 ? "*" : "{" + std::to_string(min) + ",}";
    } else {
        quantified += "{" + std::to_string(min) + "," + std::to_string(x.max) + "}";
    }
    return quantified;
}

// An upper bound on the matcher's calls at one start position with n bytes
// of text after it, the ways the node can end there, and the nesting of
// calls.
struct cost {
    uint64_t calls = 0, paths = 0, depth = 0;
};

cost costof(const node& x, uint64_t n) {
    cost once;
    switch (x.k) {
        case node::kind::bytes:
        case node::kind::assertion:
            once = {1, 1, 1};
            break;
        case node::kind::look: {
            const cost in = costof(x.kids.front(), n);
            once = {add(in.calls, 1), 1, add(in.depth, 1)};
            break;
        }
        case node::kind::seq: {
            // Each way a part can end starts the rest anew.
            cost rest{0, 1, 0};
            for (auto k = x.kids.rbegin(); k != x.kids.rend(); ++k) {
                const cost c = costof(*k, n);
                rest = {add(c.calls, mul(c.paths, rest.calls)), mul(c.paths, rest.paths),
                        add(c.depth, rest.depth)};
            }
            once = {add(rest.calls, 1), std::max<uint64_t>(rest.paths, 1), add(rest.depth, 1)};
            break;
        }
        case node::kind::alt: {
            once = {1, 0, 0};
            for (const node& k : x.kids) {
                const cost c = costof(k, n);
                once.calls = add(once.calls, add(c.calls, 1));
                once.paths = add(once.paths, c.paths);
                once.depth = std::max(once.depth, c.depth);
            }
            once.depth = add(once.depth, 1);
            break;
        }
    }
    if (x.min == 1 && x.max == 1) return once;
    // No repeat runs more often than there are bytes left, and one more.
    const uint64_t most = std::min(x.max, add(n, 1));
    const uint64_t ends = most >= x.min ? most - x.min + 1 : 1;
    if (x.k == node::kind::bytes) {
        // Scanned inline; each length given back is one call.
        return {add(most, 2), ends, 2};
    }
    cost r;
    r.depth = add(mul(most, add(once.depth, 1)), 1);
    if (once.paths <= 1) {
        r.calls = add(mul(most, add(once.calls, 1)), 1);
        r.paths = ends;
        return r;
    }
    // Every way the iterations so far can end starts the next.
    uint64_t ways = 1;
    r.calls = 1;
    r.paths = x.min == 0 ? 1 : 0;
    for (uint64_t k = 1; k <= most && r.calls < saturated; ++k) {
        r.calls = add(r.calls, mul(ways, add(once.calls, 1)));
        ways = mul(ways, once.paths);
        if (k >= x.min) r.paths = add(r.paths, ways);
    }
    if (r.calls >= saturated) r.paths = saturated;
    return r;
}

bool quiet(const node& root, uint64_t n) {
    const cost c = costof(root, n);
    // Twice the calls, and the first: a group's end or a retry may add one.
    return add(mul(c.calls, 2), 2) <= quietcalls && c.depth <= quietdepth;
}

}  // namespace

prefilterpattern prefilterfor(std::string_view pattern) {
    prefilterpattern out;
    node root;
    reader plain(pattern, false);
    if (!plain.read(root)) return out;
    if (plain.sawcaseless()) {
        root = node();
        reader caseless(pattern, true);
        if (!caseless.read(root)) return out;
    }
    if (shortest(root) == 0 || !quiet(root, 0)) return out;
    out.language = language(root);
    if (out.language.empty()) return out;
    constexpr uint64_t anylength = uint64_t{1} << 40;
    if (quiet(root, anylength)) {
        out.quietupto = UINT64_MAX;
    } else {
        uint64_t lo = 0, hi = anylength;  // quiet(lo), !quiet(hi)
        while (hi - lo > 1) {
            const uint64_t mid = lo + (hi - lo) / 2;
            (quiet(root, mid) ? lo : hi) = mid;
        }
        out.quietupto = lo;
    }
    out.usable = true;
    return out;
}

}  // namespace pst
