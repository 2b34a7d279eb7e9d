// The library's public names, each a thin entry into the namespace: what
// they report goes to the plugin's streams, and exhausted memory ends the
// process with the specified diagnostic.
#include "scorelib.h"

#include <cstring>
#include <string_view>

#include "counting/counter.h"
#include "message/casefold.h"
#include "sink.h"
#include "system/outofmemory.h"

int countmatches(const char* text, const char* pattern, int debug) {
    pst::streamsink sink(debug);
    try {
        return pst::countonce(std::string_view(text, std::strlen(text)), pattern, sink);
    } catch (const pst::memoryexhausted& e) {
        sink.exhausted(e.text);
    }
}

char* lcstrdup(const char* s) try {
    return pst::lcstrndup(s, std::strlen(s));
} catch (const pst::memoryexhausted& e) {
    pst::streamsink(0).exhausted(e.text);
}

char* ucstrdup(const char* s) try {
    return pst::ucstrndup(s, std::strlen(s));
} catch (const pst::memoryexhausted& e) {
    pst::streamsink(0).exhausted(e.text);
}

int chrpos(const char* s, int c) {
    const auto b = static_cast<char>(c);
    for (int i = 0; s[i] != '\0'; ++i)
        if (s[i] == b) return i;
    return -1;
}
