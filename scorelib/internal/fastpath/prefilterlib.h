// What building and running the prefilter share: the canaries that every
// prefilter holds and is checked by.
#pragma once

#include <cstdint>
#include <string>

namespace pst::prefilterlib {

// Languages that every prefilter holds beside the rules', and a text they
// all occur in, scanned whenever one is loaded: a library that misses one
// is not used. Debian's Vectorscan 5.4.9 misses a one-byte pattern past the
// first 64 bytes of a text on processors with AVX-512.
inline constexpr uint32_t canarybase = 0xFFFFFF00;
// Strings as the rules' are, three bytes and more.
inline constexpr const char* canaries[] = {"\\x64\\x71\\x79", "\\x64[\\x70\\x71]\\x79",
                                           "\\x79\\x79\\x7a", "\\x78\\x78\\x78\\x64",
                                           "(?:\\x65\\x71\\x79|\\x64\\x71\\x79)"};
inline std::string canarytext() {
    return std::string(200, 'x') + "dq" + std::string(70, 'y') + "z";
}

}  // namespace pst::prefilterlib
