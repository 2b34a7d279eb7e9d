// Patterns compiled and analysed once for many messages. The plugin scores
// one message and compiles and analyses each pattern for it; blocklistctl
// corpus scores thousands with one worker's cache, and gets the same counts
// and the same diagnostics (a pattern that does not compile is reported
// again for every message): neither depends on the text.
#pragma once

#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "counting/regexbackend.h"
#include "fastpath/shape.h"
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

    // The pattern's analysis. Exhausted memory is thrown as std::bad_alloc,
    // and nothing is kept of the pattern then.
    const patternshape& shapeof(std::string_view pattern) {
        if (auto it = shapes_.find(pattern); it != shapes_.end()) return it->second;
        patternshape shape = analyse(pattern);
        return shapes_.emplace(std::string(pattern), std::move(shape)).first->second;
    }

   private:
    struct texthash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // One map for each way of watching the search.
    std::unordered_map<std::string, regexholder> compiled_[3];
    std::unordered_map<std::string, patternshape, texthash, std::equal_to<>> shapes_;
};

}  // namespace pst
