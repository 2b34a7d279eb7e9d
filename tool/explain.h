// "blocklistctl explain": scores a message as the plugin does and shows why.
#pragma once

#include <cstdio>

namespace pst {

// Returns 0, or 2 when the message or the rule file cannot be read.
int explainmessage(const char* message, const char* rules, FILE* out);

}  // namespace pst
