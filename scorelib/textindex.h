// Facts about one text that let most rules skip their search.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "literalscan.h"
#include "shape.h"

namespace pst {

class textindex final : public textfacts {
   public:
    explicit textindex(std::string_view text) : text_(text) {}

    uint64_t longestrun(const byteset& set) override;

    // Finds every given literal in one pass, for the questions below; without
    // memory for that, each question searches the text itself.
    void prime(const std::vector<std::string>& literals);

    // Whether literal occurs in the text; exact.
    bool contains(std::string_view literal);

    // Non-overlapping occurrences from left to right, as the library counts
    // a pattern without metacharacters.
    int countliteral(std::string_view literal);

   private:
    bool buildgrams();

    std::string_view text_;
    bool built_ = false;
    byteset bytes_;
    std::vector<uint64_t> pairs_;    // 2^16 bits: every two-byte sequence
    std::vector<uint64_t> triples_;  // 2^24 bits: every three-byte sequence
    std::vector<std::pair<byteset, uint64_t>> runs_;
    literalmap primed_;
    const literalfacts* primedfacts(std::string_view literal) const;
};

}  // namespace pst
