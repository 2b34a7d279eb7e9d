// Patterns compiled once for many messages. The plugin scores one message
// and compiles each pattern for it; blocklistctl corpus scores thousands with
// one worker's cache, and gets the same counts and the same diagnostics (a
// pattern that does not compile is reported again for every message).
#pragma once

#include <new>
#include <string>
#include <unordered_map>

#include "counting/regexbackend.h"
#include "system/outofmemory.h"

namespace pst {

class compilecache {
   public:
    // The compiled pattern, or null when it does not compile.
    // Exhausted memory is thrown, and nothing is kept of the pattern then.
    const regexcode* get(const char* pattern, watch how) try {
        auto& compiled = compiled_[static_cast<int>(how)];
        if (auto it = compiled.find(pattern); it != compiled.end()) return it->second.get();
        regexholder re = compileregex(pattern, how);
        const regexcode* code = re.get();
        compiled.emplace(pattern, std::move(re));
        return code;
    } catch (const std::bad_alloc&) {
        outofmemory(nomemoryforsearch);
    }

   private:
    // One map for each way of watching the search.
    std::unordered_map<std::string, regexholder> compiled_[3];
};

}  // namespace pst
