// Patterns compiled and analysed once for many messages, shared by every
// thread that scores them. The plugin scores one message, compiles each
// pattern for it alone and frees it at once (many copies run side by side);
// blocklistctl corpus scores thousands of messages against one rule set and
// gets the same counts and the same diagnostics, since neither depends on
// the text (a pattern that does not compile is reported again for every
// message).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>

#include "counting/regexbackend.h"
#include "fastpath/shape.h"

namespace pst {

class patternstore {
   public:
    // Room for the given number of patterns, each known by its slot and
    // always given with the same text.
    explicit patternstore(size_t slots);
    patternstore(const patternstore&) = delete;
    patternstore& operator=(const patternstore&) = delete;
    ~patternstore();

    // The pattern compiled as asked, or null when it does not compile.
    // Exhausted memory is thrown as memoryexhausted, and nothing is kept.
    const regexcode* compiled(size_t slot, const char* pattern, watch how);
    // The pattern's analysis. Exhausted memory is thrown as std::bad_alloc,
    // and nothing is kept.
    const patternshape& shapeof(size_t slot, std::string_view pattern);

   private:
    struct entry;
    std::unique_ptr<entry[]> entries_;
    // Taken only to fill an entry: once filled, entries are read without it.
    std::mutex filling_;
};

}  // namespace pst
