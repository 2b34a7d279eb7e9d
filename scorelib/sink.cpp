#include "sink.h"

#include <cstdio>
#include <cstdlib>

namespace pst {

void streamsink::hit(const rulehit& h) {
    if (debug_)
        std::printf("#Found %d ocurrence(s) of %s, score=%d\n", h.found, h.pattern, h.after);
}

// The host's lines name no rule line.
void streamsink::compilefailed(const char* pattern, int) {
    std::fprintf(debug_ ? stdout : stderr, "#Error: Regexp compile error on %s\n", pattern);
}

void streamsink::searchfailed(int rc, const char* pattern, int) {
    std::fprintf(debug_ ? stdout : stderr, "#Error in rex_rc: %d reading %s\n", rc, pattern);
}

// Not a comment for the host: always on standard error.
void streamsink::cannotopen(file) {
    std::fputs("Unable to open file.\n", stderr);
}

void streamsink::readfailed(file which) {
    std::fputs(which == file::message ? "#Error: Unable to read file for scanning.\n"
                                      : "#Error: Unable to read local blocklist file.\n",
               debug_ ? stdout : stderr);
}

void streamsink::exhausted(const char* text) {
    std::fflush(stdout);
    std::fputs(text, stderr);
    std::exit(1);
}

}  // namespace pst
