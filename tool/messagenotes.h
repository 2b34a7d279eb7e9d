// What the rules cannot see in a message, as explain and corpus tell it.
#pragma once

#include <string_view>

#include "message/subject.h"
#include "sink.h"

namespace pst {

constexpr const char* noheaderend = "no empty line ends the header: the body is not scored";
constexpr const char* encodedbody =
    "the body is in base64 or quoted-printable: the rules see the encoded text";

// The header block, or a part's header in the body, names a base64 or
// quoted-printable transfer encoding.
inline bool isencoded(const evalsink::read& m) {
    if (m.encoded) return true;
    for (std::string_view body = m.body; !body.empty();) {
        const size_t end = body.find('\n');
        if (namesencoding(body.substr(0, end))) return true;
        if (end == std::string_view::npos) break;
        body.remove_prefix(end + 1);
    }
    return false;
}

}  // namespace pst
