// The pieces of the pattern syntax that the analysis of the fast path and
// the findings of blocklistctl check both read: escapes, classes and
// quantifiers, each read one way.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pst {

using byteset = std::bitset<256>;

constexpr uint64_t unboundedrepeat = UINT64_MAX;
constexpr size_t notsyntax = static_cast<size_t>(-1);

byteset allbytes();
byteset byterange(unsigned char lo, unsigned char hi);

// The bytes a class escape ("\d", "\w", ...) matches, as a superset: an
// over-estimate only makes the work bound larger. Negated escapes are taken as
// every byte.
bool classescape(unsigned char e, byteset& out);

// A byte written as an escape: "\n", "\t", ... or a non-alphanumeric byte.
bool literalescape(unsigned char e, unsigned char& out);

// The quantifier at p[i] ("*", "+", "?", "{n}", "{n,}", "{n,m}", each perhaps
// lazy or possessive): its length, 0 when there is none, notsyntax when it is
// malformed or followed by another. min and max get its range.
size_t readquantifier(std::string_view p, size_t i, uint64_t& min, uint64_t& max);

// The class whose members start at p[i], just after its "[": the members, as
// a superset (a negated class is every byte), and the index after its "]";
// notsyntax for a class outside what is read here (POSIX classes, ranges
// between escapes, ...).
size_t readclass(std::string_view p, size_t i, byteset& set);

// The index after the "]" of the class whose members start at p[i], for any
// class the library takes, readclass's or not: a "]" first (after a "^") is
// a member, and an escape is two bytes. At most p.size() + 1.
size_t skipclass(std::string_view p, size_t i);

// The same, with escapes read as escapeend reads them and POSIX classes
// such as "[:alpha:]" read whole, as check's findings need them; at most
// p.size().
size_t wholeclassend(std::string_view p, size_t i);

// The byte of the escape at p[i] (just after its backslash) that is one
// byte: "\n", "\x41", "\x{41}", "\.", ...; the index after it, or notsyntax.
size_t byteescape(std::string_view p, size_t i, unsigned char& out);

// The index after the escape at p[i] (a backslash) with the argument of those
// that take one: "\x41", "\x{41}", "\p{Lu}", "\k<name>", "\cA". At most
// p.size().
size_t escapeend(std::string_view p, size_t i);

}  // namespace pst
