// blocklistctl's reports for scripts (--format=json).
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace pst {

// One JSON document and a newline. Patterns and Subject lines are bytes, not
// always UTF-8: invalid sequences are written as U+FFFD rather than failing.
inline void printjson(const nlohmann::json& doc, FILE* out) {
    const std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
}

}  // namespace pst
