#include "fastpath/shape.h"

#include <algorithm>
#include <climits>

#include "fastpath/textindex.h"

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
constexpr int maxdepth = 32;

// Candidate sets of required literals are compared by their shortest member:
// the longer, the rarer in a text.
size_t strength(const std::vector<std::string>& set) {
    size_t s = SIZE_MAX;
    for (const auto& l : set) s = std::min(s, l.size());
    return set.empty() ? 0 : s;
}

uint64_t saturatingmul(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

uint64_t saturatingadd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
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
        out.matchbytes = bytes_;
        out.required = std::move(required);
        out.longestmatch = longest(*root);
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

    // Items up to a "|", a ")" or the end; best gets the strongest literal
    // every match of the sequence holds.
    bool sequence(std::vector<node>& items, std::vector<std::string>& best, int depth) {
        std::string run;  // literal bytes in a row so far
        while (more() && peek() != '|' && peek() != ')') {
            const unsigned char c = peek();
            const bool ok =
                c == '(' ? group(items, run, best, depth)
                : c == '^' || c == '$' || (c == '\\' && (peek(1) == 'b' || peek(1) == 'B'))
                    ? assertion(items)
                    : item(items, run, best);
            if (!ok) return false;
        }
        endrun(run, best);
        return true;
    }

    static void endrun(std::string& run, std::vector<std::string>& best) {
        if (strength({run}) > strength(best)) best = {run};
        run.clear();
    }

    // "(" or "(?:" with its alternatives; any other group, and a repeated
    // one, are outside the class.
    bool group(std::vector<node>& items, std::string& run, std::vector<std::string>& best,
               int depth) {
        if (peek(1) == '?' && peek(2) == ':')
            pos_ += 3;
        else if (peek(1) == '?' || peek(1) == '*')
            return false;
        else
            ++pos_;
        node n;
        n.k = node::group;
        std::vector<std::string> inner;
        if (!alternation(n, inner, depth + 1) || peek() != ')') return false;
        ++pos_;
        if (isquantifier(peek())) return false;  // a repeated group
        endrun(run, best);
        if (strength(inner) > strength(best)) best = std::move(inner);
        items.push_back(std::move(n));
        return true;
    }

    // "^", "$", "\b" or "\B", never repeated.
    bool assertion(std::vector<node>& items) {
        pos_ += peek() == '\\' ? 2 : 1;
        if (isquantifier(peek())) return false;
        node n;
        n.k = node::assertion;
        items.push_back(std::move(n));
        return true;
    }

    // A byte, an escape, a class or "." with its quantifier.
    bool item(std::vector<node>& items, std::string& run, std::vector<std::string>& best) {
        node n;
        bool literal = false;
        unsigned char byte = 0;
        const unsigned char c = peek();
        if (c == '\\') {
            const unsigned char e = peek(1);
            pos_ += 2;
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
        bytes_ |= n.set;
        if (!quantifier(n.min, n.max)) return false;
        if (literal) {
            // "ab{2,5}c" holds "abb" and "bbc"; "ab*c" holds "a" and "c".
            // A long repeat is cut to 64 bytes at either end of it.
            const auto k = static_cast<size_t>(std::min<uint64_t>(n.min, 64));
            run.append(k, static_cast<char>(byte));
            if (n.max != n.min || n.min > 64) {
                endrun(run, best);
                run.assign(k, static_cast<char>(byte));
            }
        } else {
            endrun(run, best);
        }
        items.push_back(std::move(n));
        return true;
    }

    // Every item of the class matches one byte per repeat; assertions none.
    static uint64_t longest(const node& n) {
        if (n.k == node::assertion) return 0;
        if (n.k == node::item) return n.max;
        uint64_t most = 0;
        for (const auto& alt : n.alternatives) {
            uint64_t sum = 0;
            for (const node& item : alt) sum = saturatingadd(sum, longest(item));
            most = std::max(most, sum);
        }
        return most;
    }

    static bool isquantifier(unsigned char c) {
        return c == '*' || c == '+' || c == '?' || c == '{';
    }

    bool quantifier(uint64_t& min, uint64_t& max) {
        const size_t n = readquantifier(p_, pos_, min, max);
        if (n == notsyntax) return false;
        pos_ += n;
        return true;
    }

    // After the "[": members up to the closing "]", as a superset.
    bool charclass(byteset& set) {
        const size_t end = readclass(p_, pos_, set);
        if (end == notsyntax) return false;
        pos_ = end;
        return true;
    }

    std::string_view p_;
    size_t pos_ = 0;
    byteset bytes_;
};

// The matcher's calls at one start position, walking the search tree: a
// repeat of a single item calls the matcher once for each length it tries, a
// group once for each alternative; literals, classes and assertions are
// matched inline. paths counts the ways to reach the next item.
struct walk {
    uint64_t paths = 1;
    uint64_t calls = 0;
    // The bytes its repeats scan inline, which no call of the matcher counts:
    // each path into a repeat scans as far as the repeat can reach.
    uint64_t scanned = 0;
};

// Runs: anything with longestrun(set), the longest stretch of the text whose
// bytes are all in set.
template <class Runs>
void measure(const std::vector<node>& items, walk& w, Runs& text);

// next: the item that follows n in its sequence, if any.
template <class Runs>
void measure(const node& n, const node* next, walk& w, Runs& text) {
    if (n.k == node::assertion) return;
    if (n.k == node::group) {
        w.calls = saturatingadd(w.calls, saturatingmul(w.paths, n.alternatives.size()));
        uint64_t paths = 0;
        for (const auto& alt : n.alternatives) {
            walk a{w.paths, 0, 0};
            measure(alt, a, text);
            w.calls = saturatingadd(w.calls, a.calls);
            w.scanned = saturatingadd(w.scanned, a.scanned);
            paths = saturatingadd(paths, a.paths);
        }
        w.paths = paths;
        return;
    }
    if (n.max == n.min) {
        w.scanned = saturatingadd(w.scanned, saturatingmul(w.paths, n.min));
        return;
    }
    uint64_t longest = n.max;
    // A repeat cannot run past the longest stretch of text it matches.
    if (n.max - n.min > 64) longest = std::min(n.max, text.longestrun(n.set));
    // It scans up to one byte beyond its run before it stops.
    w.scanned = saturatingadd(w.scanned, saturatingmul(w.paths, saturatingadd(longest, 1)));
    if (longest < n.min) {
        w.paths = 0;  // it cannot match here at all
        return;
    }
    const uint64_t lengths = longest - n.min + 1;
    w.calls = saturatingadd(w.calls, saturatingmul(w.paths, lengths));
    // Followed by a byte it cannot match, as in "[a-z]+ deal": a shorter
    // length leaves a byte of the run next, which fails at once; only the
    // longest goes on.
    if (next && next->k == node::item && next->min > 0 && (next->set & n.set).none()) return;
    w.paths = saturatingmul(w.paths, lengths);
}

template <class Runs>
void measure(const std::vector<node>& items, walk& w, Runs& text) {
    for (size_t i = 0; i < items.size(); ++i)
        measure(items[i], i + 1 < items.size() ? &items[i + 1] : nullptr, w, text);
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

namespace {

// Reads a pattern once, left to right, for scansinsidegiveback.
class givebackreader {
   public:
    explicit givebackreader(std::string_view p) : p_(p) {}

    bool scansinsidegiveback() {
        while (i_ < p_.size() && !found_) {
            const char c = p_[i_];
            if (c == '\\' && i_ + 1 < p_.size() && p_[i_ + 1] == 'Q')
                quoted();
            else if (c == '(')
                opengroup();
            else if (c == ')')
                closegroup();
            else if (c == '|' || c == '^' || c == '$')
                ++i_;
            else
                item();
        }
        return found_;
    }

   private:
    // A repeat that may run further than this scans the text.
    static constexpr uint64_t scan = 64;

    struct group {
        bool scans = false;      // it holds a repeat that scans
        bool givesback = false;  // it holds a repeat that gives back
    };

    // The quantifier at p[at], if any: its length, 0 when there is none.
    size_t quantifier(size_t at, uint64_t& min, uint64_t& max) const {
        const size_t n = at <= p_.size() ? readquantifier(p_, at, min, max) : 0;
        return n == notsyntax ? 0 : n;
    }
    // Whether the quantifier of length n at p[at] gives back ("*", "{2,5}?"
    // do; "*+", "{3}" do not).
    bool givesback(size_t at, size_t n, uint64_t min, uint64_t max) const {
        return n && min != max && !(n >= 2 && p_[at + n - 1] == '+');
    }

    // The single item at p[at]: where it ends, and the bytes it matches (a
    // superset; every byte where it is not read here).
    size_t single(size_t at, byteset& set) const {
        set = allbytes();
        if (at >= p_.size()) return at;
        const unsigned char c = static_cast<unsigned char>(p_[at]);
        if (c == '[') {
            set.reset();
            const size_t end = readclass(p_, at + 1, set);
            if (end != notsyntax) return end;
            set = allbytes();
            return skipclass(p_, at + 1);
        }
        if (c == '\\') {
            const unsigned char e = at + 1 < p_.size() ? static_cast<unsigned char>(p_[at + 1]) : 0;
            unsigned char byte = 0;
            if (literalescape(e, byte)) {
                set.reset();
                set.set(byte);
            } else if (!classescape(e, set)) {
                set = allbytes();
            }
            return at + 2;
        }
        if (c != '.' && c != '(' && c != ')' && c != '|' && c != '^' && c != '$') {
            set.reset();
            set.set(c);
        }
        return at + 1;
    }

    void quoted() {
        const size_t end = p_.find("\\E", i_ + 2);
        i_ = end == std::string_view::npos ? p_.size() : end + 2;
    }

    void opengroup() {
        const std::string_view rest = p_.substr(i_ + 1);
        if (rest.starts_with("?#") || rest.starts_with("*")) {
            const size_t end = p_.find(')', i_);
            i_ = end == std::string_view::npos ? p_.size() : end + 1;
            return;
        }
        const char k = rest.size() > 1 && rest[0] == '?' ? rest[1] : 0;
        if (k == 'R' || k == '&' || k == '+' || k == '-' || (k >= '0' && k <= '9') ||
            rest.starts_with("?P>"))
            found_ = true;  // recursion or a subroutine call
        groups_.emplace_back();
        ++i_;
    }

    void closegroup() {
        const group inner = groups_.back();
        if (groups_.size() > 1) groups_.pop_back();
        uint64_t min = 1, max = 1;
        const size_t n = quantifier(i_ + 1, min, max);
        if (givesback(i_ + 1, n, min, max)) {
            // Each iteration that gives back inside runs the next one's
            // scans again.
            found_ = found_ || (inner.scans && inner.givesback);
            givenback_ = groups_.back().givesback = true;
        }
        groups_.back().scans = groups_.back().scans || inner.scans;
        groups_.back().givesback = groups_.back().givesback || inner.givesback;
        i_ += 1 + n;
    }

    // A single item with its quantifier.
    void item() {
        const unsigned char c = static_cast<unsigned char>(p_[i_]);
        // A back-reference compares as far as its group reached, and a
        // subroutine call runs a group again from elsewhere.
        const unsigned char e = i_ + 1 < p_.size() ? static_cast<unsigned char>(p_[i_ + 1]) : 0;
        if (c == '\\' && (e == 'g' || e == 'k' || (e >= '1' && e <= '9'))) found_ = true;
        byteset set;
        const size_t next = single(i_, set);
        uint64_t min = 1, max = 1;
        const size_t n = quantifier(next, min, max);
        if (n && max > scan) {
            found_ = found_ || givenback_;
            groups_.back().scans = true;
            scanned_ |= set;
        }
        // Followed by a byte it cannot match, the repeat never gives back:
        // the library makes it possessive, as in "\w+@".
        byteset after;
        single(next + n, after);
        if (givesback(next, n, min, max) && (after & set).any())
            givenback_ = groups_.back().givesback = true;
        i_ = next + n;
    }

    std::string_view p_;
    size_t i_ = 0;
    bool found_ = false;
    bool givenback_ = false;  // a repeat before here can give back
    std::vector<group> groups_{group{}};

   public:
    // The bytes the repeats that scan match, either case of a letter too.
    byteset scanned() const {
        byteset s = scanned_;
        for (unsigned c = 'a'; c <= 'z'; ++c)
            if (s.test(c) || s.test(c - 'a' + 'A')) s.set(c).set(c - 'a' + 'A');
        return s;
    }

   private:
    byteset scanned_;
};

}  // namespace

bool scansinsidegiveback(std::string_view p, byteset* scans) {
    givebackreader reader(p);
    const bool found = reader.scansinsidegiveback();
    if (scans) *scans = reader.scanned();
    return found;
}

patternshape analyse(std::string_view pattern) {
    patternshape shape;
    parser(pattern).parse(shape);
    return shape;
}

uint64_t countedcalls(const patternshape& shape, textindex& text) {
    if (!shape.simple || !shape.root) return UINT64_MAX;
    walk w;
    measure(*shape.root, nullptr, w, text);
    return w.calls;
}

bool positionwork(const patternshape& shape, textindex& text, uint64_t& calls, uint64_t& scanned) {
    if (!shape.simple || !shape.root) return false;
    walk w;
    measure(*shape.root, nullptr, w, text);
    calls = w.calls;
    scanned = w.scanned;
    return true;
}

namespace {

// A text whose longest runs are all of one length, noting the sets asked
// about.
struct anytext {
    uint64_t length;
    std::vector<byteset>* asked = nullptr;
    uint64_t longestrun(const byteset& set) const {
        if (asked && std::find(asked->begin(), asked->end(), set) == asked->end())
            asked->push_back(set);
        return length;
    }
};

}  // namespace

uint64_t countedcallsupto(const patternshape& shape, uint64_t run) {
    if (!shape.simple || !shape.root) return UINT64_MAX;
    walk w;
    anytext text{run};
    measure(*shape.root, nullptr, w, text);
    return w.calls;
}

uint64_t positionworkupto(const patternshape& shape, uint64_t run) {
    if (!shape.simple || !shape.root) return UINT64_MAX;
    walk w;
    anytext text{run};
    measure(*shape.root, nullptr, w, text);
    return saturatingadd(w.calls, w.scanned);
}

std::vector<byteset> runsets(const patternshape& shape) {
    std::vector<byteset> sets;
    if (!shape.simple || !shape.root) return sets;
    walk w;
    anytext text{0, &sets};
    measure(*shape.root, nullptr, w, text);
    return sets;
}

}  // namespace pst
