#include "fastpath/patternsyntax.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace pst {
namespace {

bool isalnum_ascii(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isquantifier(unsigned char c) {
    return c == '*' || c == '+' || c == '?' || c == '{';
}

unsigned char at(std::string_view p, size_t i) {
    return i < p.size() ? static_cast<unsigned char>(p[i]) : 0;
}

// Digits as the library reads a repeat count: at most 65535.
bool number(std::string_view p, size_t& i, uint64_t& out) {
    size_t digits = 0;
    out = 0;
    while (at(p, i) >= '0' && at(p, i) <= '9' && digits < 6) {
        out = out * 10 + (at(p, i) - '0');
        ++i;
        ++digits;
    }
    return digits > 0 && digits < 6 && out <= 65535;
}

}  // namespace

byteset allbytes() {
    return byteset().set();
}

byteset byterange(unsigned char lo, unsigned char hi) {
    byteset s;
    for (unsigned c = lo; c <= hi; ++c) s.set(c);
    return s;
}

bool classescape(unsigned char e, byteset& out) {
    switch (e) {
        case 'd':
            out = byterange('0', '9');
            return true;
        case 's':
            out = byterange('\t', '\r');
            out.set(' ');
            return true;
        case 'w':
            out = byterange('0', '9') | byterange('a', 'z') | byterange('A', 'Z') |
                  byterange(0x80, 0xFF);
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

size_t readquantifier(std::string_view p, size_t i, uint64_t& min, uint64_t& max) {
    const size_t start = i;
    const unsigned char c = at(p, i);
    if (c == '*') {
        min = 0, max = unboundedrepeat;
    } else if (c == '+') {
        min = 1, max = unboundedrepeat;
    } else if (c == '?') {
        min = 0, max = 1;
    } else if (c == '{') {
        ++i;
        if (!number(p, i, min)) return notsyntax;
        max = min;
        if (at(p, i) == ',') {
            ++i;
            if (at(p, i) == '}')
                max = unboundedrepeat;
            else if (!number(p, i, max) || max < min)
                return notsyntax;
        }
        if (at(p, i) != '}') return notsyntax;
    } else {
        min = max = 1;
        return 0;
    }
    ++i;
    if (at(p, i) == '?' || at(p, i) == '+') ++i;  // lazy or possessive
    if (isquantifier(at(p, i))) return notsyntax;
    return i - start;
}

size_t skipclass(std::string_view p, size_t i) {
    if (i < p.size() && p[i] == '^') ++i;
    if (i < p.size() && p[i] == ']') ++i;
    while (i < p.size() && p[i] != ']') i += p[i] == '\\' ? 2 : 1;
    return std::min(i, p.size()) + 1;
}

namespace {

bool hexdigit(unsigned char c, unsigned& v) {
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    else
        return false;
    return true;
}

// The index after the closer of the text from p[i] on, or p.size().
size_t after(std::string_view p, size_t i, char closer) {
    const size_t e = p.find(closer, i);
    return e == std::string_view::npos ? p.size() : e + 1;
}

}  // namespace

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

size_t escapeend(std::string_view p, size_t i) {
    if (i + 1 >= p.size()) return p.size();
    const char e = p[i + 1], open = i + 2 < p.size() ? p[i + 2] : '\0';
    if (e == 'c') return std::min(i + 3, p.size());  // a control byte
    unsigned char byte = 0;
    if (e == 'x' && open != '{') return byteescape(p, i + 1, byte);
    if (open == '{' && std::strchr("xopPNkg", e) != nullptr) return after(p, i + 3, '}');
    if (open == '<' && (e == 'k' || e == 'g')) return after(p, i + 3, '>');
    if (open == '\'' && (e == 'k' || e == 'g')) return after(p, i + 3, '\'');
    return i + 2;
}

size_t wholeclassend(std::string_view p, size_t i) {
    if (i < p.size() && p[i] == '^') ++i;
    if (i < p.size() && p[i] == ']') ++i;
    while (i < p.size() && p[i] != ']') {
        if (p[i] == '\\')
            i = escapeend(p, i);
        else if (p.substr(i, 2) == "[:" && p.find(":]", i + 2) != std::string_view::npos)
            i = p.find(":]", i + 2) + 2;
        else
            ++i;
    }
    return std::min(i + 1, p.size());
}

size_t readclass(std::string_view p, size_t i, byteset& set) {
    const bool negated = at(p, i) == '^';
    if (negated) ++i;
    bool first = true;
    for (;;) {
        if (i >= p.size()) return notsyntax;
        const unsigned char c = at(p, i);
        if (c == ']' && !first) break;
        first = false;
        if (c == '[' && (at(p, i + 1) == ':' || at(p, i + 1) == '.' || at(p, i + 1) == '='))
            return notsyntax;
        unsigned char lo = c;
        if (c == '\\') {
            byteset s;
            if (classescape(at(p, i + 1), s)) {
                set |= s;
                i += 2;
                continue;
            }
            if (!literalescape(at(p, i + 1), lo)) return notsyntax;
            i += 2;
        } else {
            ++i;
        }
        if (at(p, i) == '-' && i + 1 < p.size() && at(p, i + 1) != ']') {
            const unsigned char hi = at(p, i + 1);
            if (hi == '\\' || hi == '[' || hi < lo) return notsyntax;
            set |= byterange(lo, hi);
            i += 2;
        } else {
            set.set(lo);
        }
    }
    if (negated) set = allbytes();
    return i + 1;
}

}  // namespace pst
