// "blocklistctl check --fix-case": the rule file with every rule whose
// capitals pass cannot compile rewritten so that it scores as before without
// a compile error on every hit.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace pst {

// The line of a rule whose upper-cased pattern does not compile, rewritten:
// marked exact with "=" (its capitals never counted), and, where it matches
// without regard to case, its "(?i)" dropped and its pattern in lower case:
// then only a capital right after a backslash, which folding keeps, is
// matched no longer.
// Nothing for any other line. why: what was done, for the note.
std::optional<std::string> fixcaseline(std::string_view line, std::string& why);

// Writes the rule file at path to out with those lines rewritten, every
// other byte as it is, and a note for each line changed and a summary to
// err. Returns 0, 66 when the file cannot be read, or 74 when out cannot be
// written.
int fixcase(const char* path, FILE* out, FILE* err);

}  // namespace pst
