#include "fastpath/prefilterpattern.h"

#include <algorithm>
#include <vector>

#include "fastpath/patternsyntax.h"

#ifndef POSTSENTINEL_MATCHER_MEMORY_MIB
#define POSTSENTINEL_MATCHER_MEMORY_MIB 192
#endif

namespace pst {
namespace {

struct node {
    enum class kind { bytes, assertion, look, seq, alt };
    kind k = kind::seq;
    byteset set;
    std::vector<node> kids;
    uint64_t min = 1, max = 1;
    // The most ways one iteration can end at one start position, where
    // that is known from its fixed strings; 0 where it is not.
    uint64_t atonce = 0;
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

// Sets of strings, of which every match of a part of a pattern holds one
// (or, exactly, is one): what FilteredRE2 calls atoms. Sets are kept small,
// and a set whose shortest string is short says little of a text.
constexpr size_t moststrings = 32;                     // of a product
constexpr size_t mostalternatives = prefilterstrings;  // of a union
constexpr size_t shortestuseful = 3;

struct strings {
    bool known = false;
    std::vector<std::string> s;
};

size_t shortestof(const strings& x) {
    if (!x.known || x.s.empty()) return 0;
    size_t least = SIZE_MAX;
    for (const std::string& t : x.s) least = std::min(least, t.size());
    return least;
}

// The more telling of two: longer shortest strings, then fewer strings.
const strings& better(const strings& a, const strings& b) {
    const size_t la = shortestof(a), lb = shortestof(b);
    if (la != lb) return la > lb ? a : b;
    return a.s.size() <= b.s.size() ? a : b;
}

strings product(const strings& a, const strings& b) {
    strings out;
    if (!a.known || !b.known || a.s.size() * b.s.size() > moststrings) return out;
    out.known = true;
    for (const std::string& x : a.s)
        for (const std::string& y : b.s) out.s.push_back(x + y);
    std::sort(out.s.begin(), out.s.end());
    out.s.erase(std::unique(out.s.begin(), out.s.end()), out.s.end());
    return out;
}

strings unionof(const strings& a, const strings& b) {
    strings out;
    if (!a.known || !b.known || a.s.size() + b.s.size() > mostalternatives) return out;
    out.known = true;
    out.s = a.s;
    out.s.insert(out.s.end(), b.s.begin(), b.s.end());
    std::sort(out.s.begin(), out.s.end());
    out.s.erase(std::unique(out.s.begin(), out.s.end()), out.s.end());
    return out;
}

// exact: every match of the node is one of these; within: every match holds
// one of these; edge: every match starts with one of these and ends with
// one of these (a repeat's first and last iterations).
struct facts {
    strings exact, within, edge;
};

facts factsof(const node& x);

facts once(const node& x) {
    facts f;
    switch (x.k) {
        case node::kind::bytes:
            if (x.set.count() <= moststrings / 8) {
                f.exact.known = true;
                for (unsigned b = 0; b < 256; ++b)
                    if (x.set.test(b)) f.exact.s.emplace_back(1, static_cast<char>(b));
            }
            break;
        case node::kind::assertion:
        case node::kind::look:
            f.exact.known = true;
            f.exact.s.emplace_back();
            break;
        case node::kind::seq: {
            f.exact.known = true;
            f.exact.s.emplace_back();
            strings run = f.exact;  // the parts just before, back to the last unknown one
            for (const node& k : x.kids) {
                const facts kf = factsof(k);
                f.exact = product(f.exact, kf.exact);
                f.within = better(f.within, better(kf.within, kf.exact));
                // The run goes on into the part's start, and on from its end
                // only where it is all of the part.
                strings longer = product(run, kf.exact.known ? kf.exact : kf.edge);
                f.within = better(f.within, longer);
                if (!kf.exact.known)
                    run = kf.edge;
                else if (longer.known)
                    run = std::move(longer);
                else
                    run = kf.exact;
            }
            break;
        }
        case node::kind::alt: {
            bool first = true;
            for (const node& k : x.kids) {
                const facts kf = factsof(k);
                const strings& holds = better(kf.within, kf.exact);
                f.exact = first ? kf.exact : unionof(f.exact, kf.exact);
                f.within = first ? holds : unionof(f.within, holds);
                first = false;
            }
            break;
        }
    }
    return f;
}

facts factsof(const node& x) {
    facts one = once(x);
    if (x.min == 1 && x.max == 1) return one;
    facts f;
    if (x.min == 0) {
        // Perhaps absent: exact only as "x?".
        if (x.max == 1) {
            strings none;
            none.known = true;
            none.s.emplace_back();
            f.exact = unionof(one.exact, none);
        }
        return f;
    }
    // The first min iterations follow each other in every match.
    strings first = one.exact;
    for (uint64_t i = 1; i < x.min && first.known; ++i) first = product(first, one.exact);
    if (x.min == x.max) f.exact = first;
    f.edge = first;
    f.within = better(better(one.within, one.exact), first);
    return f;
}

// An upper bound on the matcher's calls at one start position with n bytes
// of text after it, the ways the node can end there, and the nesting of
// calls.
struct cost {
    uint64_t calls = 0, paths = 0, depth = 0;
};

bool firstof(const node& k, byteset& first);

// The bytes that what comes at kids[from...] starts with (a superset), and
// then follow (null where that is not known): false where that is not
// known, as when all of the kids may be absent and follow is null.
bool startswith(const std::vector<node>& kids, size_t from, const byteset* follow, byteset& out) {
    byteset all;
    for (size_t i = from; i < kids.size(); ++i) {
        const node& k = kids[i];
        if (k.k == node::kind::assertion || k.k == node::kind::look) continue;  // only restrict
        byteset first;
        if (!firstof(k, first)) return false;
        all |= first;
        // What may be absent lets the next part start the match.
        if (k.min > 0) {
            out = all;
            return true;
        }
    }
    if (!follow) return false;
    out = all | *follow;
    return true;
}

// The bytes a match of one iteration of k starts with.
bool firstof(const node& k, byteset& first) {
    switch (k.k) {
        case node::kind::bytes:
            first = k.set;
            return true;
        case node::kind::seq:
            return startswith(k.kids, 0, nullptr, first);
        case node::kind::alt:
            for (const node& branch : k.kids) {
                byteset b;
                if (!firstof(branch, b)) return false;
                first |= b;
            }
            return true;
        default:
            return false;
    }
}

// Every way the node can match, where there are few and each is a fixed
// string: a string once for each way, so that two ways to the same string
// count twice, as the matcher tries both.
bool ways(const node& x, std::vector<std::string>& out) {
    constexpr size_t most = 64;
    std::vector<std::string> once;
    switch (x.k) {
        case node::kind::bytes:
            if (x.set.count() > most) return false;
            for (unsigned b = 0; b < 256; ++b)
                if (x.set.test(b)) once.emplace_back(1, static_cast<char>(b));
            break;
        case node::kind::assertion:
        case node::kind::look:
            return false;  // a way may fail on what lies around it, not on its bytes
        case node::kind::seq:
            once.emplace_back();
            for (const node& k : x.kids) {
                std::vector<std::string> part, longer;
                if (!ways(k, part) || once.size() * part.size() > most) return false;
                for (const std::string& a : once)
                    for (const std::string& b : part) longer.push_back(a + b);
                once = std::move(longer);
            }
            break;
        case node::kind::alt:
            for (const node& k : x.kids) {
                std::vector<std::string> part;
                if (!ways(k, part) || once.size() + part.size() > most) return false;
                once.insert(once.end(), part.begin(), part.end());
            }
            break;
    }
    if (x.min != 1 || x.max != 1) {
        if (x.min != 0 || x.max != 1) return false;
        once.emplace_back();  // "x?"
    }
    out = std::move(once);
    return true;
}

// The ways of a node of fixed strings that can end at one start position:
// only those whose strings are prefixes of one text, so at most the longest
// chain of strings each a prefix of the next.
uint64_t waysatonce(const std::vector<std::string>& strings) {
    uint64_t most = 0;
    for (const std::string& s : strings) {
        uint64_t chain = 0;
        for (const std::string& t : strings) chain += s.compare(0, t.size(), t) == 0;
        most = std::max(most, chain);
    }
    return most;
}

// The fewest bytes one iteration of x matches.
uint64_t leastbytes(const node& x) {
    uint64_t least = 0;
    switch (x.k) {
        case node::kind::bytes:
            return 1;
        case node::kind::assertion:
        case node::kind::look:
            return 0;
        case node::kind::seq:
            for (const node& k : x.kids)
                least = add(least, k.min == 0 ? 0 : mul(k.min, leastbytes(k)));
            return least;
        case node::kind::alt:
            least = saturated;
            for (const node& k : x.kids)
                least = std::min(least, k.min == 0 ? 0 : mul(k.min, leastbytes(k)));
            return least;
    }
    return 0;
}

// follow: the bytes that whatever comes after x starts with, where known.
cost costof(const node& x, uint64_t n, const byteset* follow) {
    // After an iteration of a repeat comes another, or what follows it.
    byteset again;
    const byteset* after = follow;
    if (x.min != 1 || x.max != 1) {
        after = nullptr;
        if (follow && x.k != node::kind::bytes && firstof(x, again)) {
            again |= *follow;
            after = &again;
        }
    }
    cost once;
    switch (x.k) {
        case node::kind::bytes:
        case node::kind::assertion:
            // Matched inside the matcher's loop, without a call of its own.
            once = {0, 1, 0};
            break;
        case node::kind::look: {
            const cost in = costof(x.kids.front(), n, nullptr);
            once = {add(in.calls, 1), 1, add(in.depth, 1)};
            break;
        }
        case node::kind::seq: {
            // Each way a part can end starts the rest anew; but a repeat of
            // bytes that the next part cannot start with can only go on
            // from where its run ends: every shorter length fails at once.
            cost rest{0, 1, 0};
            for (size_t i = x.kids.size(); i-- > 0;) {
                byteset next;
                const bool known = startswith(x.kids, i + 1, after, next);
                cost c = costof(x.kids[i], n, known ? &next : nullptr);
                if (x.kids[i].k == node::kind::bytes && c.paths > 1 && known &&
                    (next & x.kids[i].set).none()) {
                    c.calls = add(c.calls, c.paths);
                    c.paths = 1;
                }
                rest = {add(c.calls, mul(c.paths, rest.calls)), mul(c.paths, rest.paths),
                        add(c.depth, rest.depth)};
            }
            once = {add(rest.calls, 1), std::max<uint64_t>(rest.paths, 1), add(rest.depth, 1)};
            break;
        }
        case node::kind::alt: {
            once = {1, 0, 0};
            for (const node& k : x.kids) {
                const cost c = costof(k, n, after);
                once.calls = add(once.calls, add(c.calls, 1));
                once.paths = add(once.paths, c.paths);
                once.depth = std::max(once.depth, c.depth);
            }
            once.depth = add(once.depth, 1);
            break;
        }
    }
    if (x.atonce != 0) once.paths = std::min(once.paths, x.atonce);
    if (x.min == 1 && x.max == 1) return once;
    // No repeat runs more often than its iterations fit in the bytes left,
    // and once more.
    const uint64_t least = leastbytes(x);
    const uint64_t most = std::min(x.max, add(least == 0 ? n : n / least, 1));
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

// The deepest nesting of the matcher's calls the quiet bound allows: frames
// of a kilobyte (the classic library's is smaller, PCRE2's far smaller) in
// an eighth of the memory a deep search may take.
constexpr uint64_t quietdepth = (uint64_t{POSTSENTINEL_MATCHER_MEMORY_MIB} << 20) / 8 / 1024;

// Notes in every node the ways one iteration of it can end at once.
void noteways(node& x) {
    for (node& k : x.kids) noteways(k);
    if (x.k == node::kind::bytes) return;
    const uint64_t min = x.min, max = x.max;
    x.min = x.max = 1;
    std::vector<std::string> each;
    if (ways(x, each)) x.atonce = waysatonce(each);
    x.min = min;
    x.max = max;
}

bool quiet(const node& root, uint64_t n) {
    const cost c = costof(root, n, nullptr);
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
    noteways(root);
    if (!quiet(root, 0)) return out;
    const facts f = factsof(root);
    const strings& any = better(f.within, f.exact);
    if (shortestof(any) < shortestuseful) return out;
    out.strings = any.s;
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
