// "blocklistctl compile": the compiled form of a rule file, beside it, which
// spares the plugin the work of every rule that cannot hit a message; and
// what the plugin will make of the form that is there.
#pragma once

#include <cstdio>
#include <string>

namespace pst {

class compiledrules;
struct rulefile;

// Writes the compiled form of the rule file at path beside it, replacing
// any form there at once; says what it made on out. Returns 0, 66 (the rule
// file cannot be read) or 73 (the form cannot be written).
int compilerules(const char* path, FILE* out);

enum class formstate { fits, missing, unusable };

// What the plugin makes of the compiled form beside the rule file whose lines,
// as read, are given: why says what is wrong with one that is unusable.
// The form, if given, is what was loaded.
formstate formstatefor(const char* rulepath, const rulefile& f, std::string& why,
                       compiledrules* loaded = nullptr);

// What the prefilter of a form that fits its rule file does for its rules,
// or that there is none (form null or without one) and why: a line of
// compile's and check's report.
std::string prefilternote(const compiledrules* form);

}  // namespace pst
