// A forger's tools: a compiled form edited in place and sealed again with
// the form's closing hash, as anyone who can read the code can compute it.
// The hash guards against damage, not against whoever may write the form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "counting/regexbackend.h"
#include "rules/formlayout.h"

namespace forgery {

inline uint64_t formhash(std::string_view bytes) {
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    auto mix = [&h](uint64_t w) {
        h ^= w;
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
    };
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, bytes.data() + i, 8);
        mix(w);
    }
    uint64_t tail = bytes.size() - i;
    for (size_t k = 0; i + k < bytes.size(); ++k)
        tail |= uint64_t{static_cast<unsigned char>(bytes[i + k])} << (8 * (k + 1));
    mix(tail);
    return h;
}

inline void reseal(std::string& form) {
    const uint64_t h = formhash(std::string_view(form).substr(0, form.size() - 8));
    std::memcpy(form.data() + form.size() - 8, &h, 8);
}

template <class T>
inline void put(std::string& form, size_t at, T v) {
    std::memcpy(form.data() + at, &v, sizeof v);
}

using pst::formlayout::literalentry;
using pst::formlayout::record;

// Where the record of line (from 1) starts, in a form of lines lines.
inline size_t recordat(const std::string& form, size_t lines, size_t line) {
    return form.size() - pst::formlayout::sealbytes - (lines - line + 1) * sizeof(record);
}

// Where the i-th entry of the literals' index starts.
inline size_t indexat(size_t i) {
    return pst::formlayout::countsat(pst::regexversion().size()) + sizeof(pst::formlayout::counts) +
           i * sizeof(literalentry);
}

}  // namespace forgery
