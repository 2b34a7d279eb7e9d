// The Subject line of a message's header block, and its bracketed tags.
#pragma once

#include <cstddef>
#include <string_view>

namespace pst {

// A header line is the Subject line when it starts with "subject" in any case.
bool issubjectline(std::string_view line);

// A header line "Content-Transfer-Encoding: base64" or "quoted-printable",
// in any case: the body the rules see is encoded.
bool namesencoding(std::string_view line);

// Removes bracketed tags in place and returns the new length; the line is
// NUL-terminated again.
size_t removetags(char* line, size_t len);

}  // namespace pst
