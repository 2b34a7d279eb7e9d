// Facts about one text that let most rules skip their search.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fastpath/literalscan.h"
#include "fastpath/shape.h"

namespace pst {

// Answers about one text, computed on demand and kept for the next rule.
class textindex {
   public:
    explicit textindex(std::string_view text) : text_(text) {}

    // The longest run of consecutive bytes of the text that are all in set.
    uint64_t longestrun(const byteset& set);

    // Finds every given literal in one pass, for the questions below; without
    // memory for that, each question searches the text itself.
    void prime(const std::vector<std::string>& literals);

    // Whether literal occurs in the text; exact.
    bool contains(std::string_view literal);

    // Non-overlapping occurrences from left to right, as the library counts
    // a pattern without metacharacters.
    int countliteral(std::string_view literal);

    // The work of the answers so far, in bytes that a plain loop over the
    // text would read in the same time (about a nanosecond each): what a
    // compiled form's questions are charged by.
    uint64_t work() const { return work_; }

   private:
    bool buildgrams();
    uint32_t tripleindex(const unsigned char* p) const;

    std::string_view text_;
    bool built_ = false;
    uint32_t tablebits_ = 24;  // of the triples' table: hashed below 24
    byteset bytes_;
    std::vector<uint64_t> pairs_;    // 2^16 bits: every two-byte sequence
    std::vector<uint64_t> triples_;  // the three-byte sequences, hashed in a small text
    std::vector<std::pair<byteset, uint64_t>> runs_;
    uint64_t work_ = 0;
    literalmap primed_;
    const literalfacts* primedfacts(std::string_view literal) const;
};

}  // namespace pst
