// "blocklistctl explain": scores a message as the plugin does and shows why.
#pragma once

#include <cstdio>

namespace pst {

// message or rules "-" is standard input; rule, when not null, is the one
// rule ("WEIGHT PATTERN") to score with instead of the rule file. Returns 0,
// or 66 when the message or the rules cannot be read.
int explainmessage(const char* message, const char* rules, const char* rule, bool json, FILE* out);

}  // namespace pst
