#include "fastpath/textindex.h"

#include <cstring>
#include <new>

namespace pst {
namespace {

// The table of byte triples has about eight bits for each byte of the text,
// hashed, up to one bit for each of the 2^24 triples (2 MB): zeroing and
// touching 2 MB cost more than the whole scan of a small message. A literal
// whose triples the table has all is searched for anyway, so a collision
// costs a search, never a wrong answer. Even a text of a few bytes has its
// table: ten thousand rules each asking for their literals cost far more in
// searches than the table.
uint32_t triplebits(size_t textsize) {
    uint32_t bits = 10;
    while (bits < 24 && (size_t{1} << bits) < textsize * 8) ++bits;
    return bits;
}

bool testbit(const std::vector<uint64_t>& bits, uint32_t i) {
    return (bits[i >> 6] >> (i & 63)) & 1;
}
void setbit(std::vector<uint64_t>& bits, uint32_t i) {
    bits[i >> 6] |= uint64_t{1} << (i & 63);
}

uint32_t pair(const unsigned char* p) {
    return uint32_t{p[0]} << 8 | p[1];
}
uint32_t triple(const unsigned char* p) {
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
}

}  // namespace

uint32_t textindex::tripleindex(const unsigned char* p) const {
    const uint32_t t = triple(p);
    return tablebits_ < 24 ? (t * 2654435761u) >> (32 - tablebits_) : t;
}

bool textindex::buildgrams() {
    built_ = true;
    tablebits_ = triplebits(text_.size());
    try {
        pairs_.assign((1u << 16) / 64, 0);
        triples_.assign((size_t{1} << tablebits_) / 64, 0);
    } catch (const std::bad_alloc&) {
        // The tables only save time: without memory for them, search directly.
        pairs_.clear();
        triples_.clear();
        return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    const size_t n = text_.size();
    for (size_t i = 0; i < n; ++i) {
        bytes_.set(p[i]);
        if (i + 1 < n) setbit(pairs_, pair(p + i));
        if (i + 2 < n) setbit(triples_, tripleindex(p + i));
    }
    return true;
}

void textindex::prime(const std::vector<std::string>& literals) {
    try {
        primed_ = scanliterals(text_, literals);
    } catch (const std::bad_alloc&) {
        primed_.clear();
    }
}

const literalfacts* textindex::primedfacts(std::string_view literal) const {
    if (primed_.empty()) return nullptr;  // spares hashing every literal of a small text
    const auto it = primed_.find(literal);
    return it == primed_.end() ? nullptr : &it->second;
}

bool textindex::contains(std::string_view literal) {
    if (literal.empty()) return true;
    work_ += literal.size();
    if (const literalfacts* f = primedfacts(literal)) return f->count > 0;
    if (literal.size() > text_.size()) return false;
    if (built_ ? !triples_.empty() : buildgrams()) {
        const auto* l = reinterpret_cast<const unsigned char*>(literal.data());
        if (literal.size() == 1) return bytes_.test(l[0]);
        if (literal.size() == 2) return testbit(pairs_, pair(l));
        // Every three bytes of the literal must occur somewhere in the text;
        // if one does not, neither does the literal.
        for (size_t i = 0; i + 2 < literal.size(); ++i)
            if (!testbit(triples_, tripleindex(l + i))) return false;
    }
    // memmem takes up to four times as long a byte on a text made against
    // it (255 'a' and a 'b' in a run of 'a'), 0.05 to 0.3 on mail.
    work_ += text_.size() * 4;
    return memmem(text_.data(), text_.size(), literal.data(), literal.size()) != nullptr;
}

int textindex::countliteral(std::string_view literal) {
    if (literal.empty()) return 0;
    if (const literalfacts* f = primedfacts(literal)) return f->count;
    if (!contains(literal)) return 0;
    int count = 0;
    const char* p = text_.data();
    const char* end = text_.data() + text_.size();
    while (const void* hit =
               memmem(p, static_cast<size_t>(end - p), literal.data(), literal.size())) {
        ++count;
        p = static_cast<const char*>(hit) + literal.size();
    }
    return count;
}

uint64_t textindex::longestrun(const byteset& set) {
    if (set.all()) return text_.size();
    // A hostile rule file may hold thousands of distinct classes: past a
    // bounded number, the text length serves as the (larger) bound.
    if (runs_.size() >= 256) return text_.size();
    work_ += runs_.size() * sizeof(byteset);
    for (const auto& [s, run] : runs_)
        if (s == set) return run;
    work_ += text_.size();
    uint64_t longest = 0, current = 0;
    for (const char c : text_) {
        current = set.test(static_cast<unsigned char>(c)) ? current + 1 : 0;
        if (current > longest) longest = current;
    }
    runs_.emplace_back(set, longest);
    return longest;
}

}  // namespace pst
