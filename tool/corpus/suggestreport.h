// The report of a weight suggestion, as text and as JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "corpus/suggest.h"

namespace pst {

// The report, patterns[i] being the pattern of s.rules[i]; written names the
// file the suggested rule file went to, or is null.
void printsuggestion(const suggestion& s, const suggestrequest& q,
                     const std::vector<std::string>& patterns, const char* written, FILE* out);
nlohmann::json jsonsuggestion(const suggestion& s, const suggestrequest& q,
                              const std::vector<std::string>& patterns, const char* written);

}  // namespace pst
