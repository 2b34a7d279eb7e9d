// The multi-pattern prefilter: one pass of an automaton over a text tells
// which of many patterns' strings (see prefilterpattern.h) occur in it.
// Built by "blocklistctl compile" into the compiled form; where the build
// has no prefilter library, or the processor cannot run it, there is none
// and every rule is searched.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pst {

// Whether this build and this processor can build and run a prefilter.
bool prefilteravailable();
// The prefilter library and its version, or why there is none.
std::string prefilterversion();

// One pattern's strings (see prefilterpattern.h): it is flagged in a text
// that holds one of them.
struct prefilterentry {
    const std::vector<std::string>* strings;
    uint32_t id;
};

// The prefilter of the entries, serialized; "" when there is none. Entries
// the library refuses are left out and their ids appended to refused.
std::string buildprefilter(const std::vector<prefilterentry>& entries,
                           std::vector<uint32_t>& refused);

class prefilter {
   public:
    prefilter();
    ~prefilter();
    prefilter(const prefilter&) = delete;
    prefilter& operator=(const prefilter&) = delete;
    prefilter(prefilter&&) noexcept;
    prefilter& operator=(prefilter&&) noexcept;

    // The prefilter serialized by buildprefilter; false for one this build
    // or processor cannot run, or that is damaged.
    bool load(std::string_view serialized);
    bool loaded() const;
    // Sets flagged[id] for every entry one of whose strings occurs in text, for
    // ids below flagged.size(). False when the scan fails: nothing may be
    // concluded from it. Safe from many threads at once.
    bool scan(std::string_view text, std::vector<bool>& flagged) const;
    // The memory the loaded automaton takes.
    size_t size() const;

   private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace pst
