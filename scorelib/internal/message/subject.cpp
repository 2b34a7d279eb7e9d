#include "message/subject.h"

#include <cstring>

namespace pst {

namespace {

// Whether text starts with lower, ASCII letters of text in either case.
bool startsfolded(std::string_view text, std::string_view lower) {
    if (text.size() < lower.size()) return false;
    for (size_t i = 0; i < lower.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if (c != static_cast<unsigned char>(lower[i])) return false;
    }
    return true;
}

}  // namespace

bool issubjectline(std::string_view line) {
    return startsfolded(line, "subject");
}

bool namesencoding(std::string_view line) {
    constexpr std::string_view name = "content-transfer-encoding:";
    if (!startsfolded(line, name)) return false;
    line.remove_prefix(name.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    return startsfolded(line, "base64") || startsfolded(line, "quoted-printable");
}

// Repeatedly cuts from the first "[" through the first "]" while the "]"
// comes after the "[". The text before a cut tag holds no bracket at all, so
// the next tag is searched only in what follows the cut: one pass over the
// line, where cutting and rescanning from the start would be quadratic.
size_t removetags(char* line, size_t len) {
    size_t kept = 0;  // line[0, kept) is final
    size_t pos = 0;   // line[pos, len) is still to be examined
    for (;;) {
        const char* rest = line + pos;
        const size_t restlen = len - pos;
        const auto* open = static_cast<const char*>(std::memchr(rest, '[', restlen));
        if (!open) break;
        const auto* close = static_cast<const char*>(std::memchr(rest, ']', restlen));
        if (!close || close < open) break;
        const auto keep = static_cast<size_t>(open - rest);
        std::memmove(line + kept, rest, keep);
        kept += keep;
        pos = static_cast<size_t>(close - line) + 1;
    }
    std::memmove(line + kept, line + pos, len - pos);
    kept += len - pos;
    line[kept] = '\0';
    return kept;
}

}  // namespace pst
