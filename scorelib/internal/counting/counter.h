// Counting the rules' patterns in one text, the fast way or the
// straightforward way; both give the same counts and the same diagnostics.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "counting/patternstore.h"
#include "counting/search.h"
#include "evaluate.h"
#include "fastpath/skippolicy.h"
#include "fastpath/textindex.h"

namespace pst {

// Adds the time from construction to destruction to *total, if given.
class stopwatch {
   public:
    explicit stopwatch(double* total) : total_(total) {
        if (total_) start_ = std::chrono::steady_clock::now();
    }
    ~stopwatch() {
        if (total_)
            *total_ +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    stopwatch(const stopwatch&) = delete;
    stopwatch& operator=(const stopwatch&) = delete;

   private:
    double* total_;
    std::chrono::steady_clock::time_point start_;
};

// A pattern to count, its slot in the counter's store, if it has one, and
// the line of its rule, which its diagnostics name (0 for none).
struct patternref {
    static constexpr size_t noslot = SIZE_MAX;
    const char* text;
    size_t slot = noslot;
    int line = 0;
};

class patterncounter {
   public:
    // store: patterns compiled and analysed for earlier messages, kept for
    // later ones; null to work each out for this text alone.
    patterncounter(std::string_view text, bool straightforward, evalprofile* profile,
                   workbudget& budget, evalsink& sink, patternstore* store = nullptr);

    // Analyses the patterns about to be counted and finds the literals they
    // need in one pass over the text.
    void prime(const std::vector<patternref>& patterns);
    // The same for literals already known, such as the capitals of another
    // counter's.
    void primeliterals(std::vector<std::string> literals);
    const std::vector<std::string>& primedliterals() const { return literals_; }

    // countmatches of pattern in the text, its diagnostics to the sink.
    int count(patternref pattern);

    // True when what a compiled rule set says of a rule it marks skippable
    // (its pattern compiles) holds here, so that the rule counts 0 with no
    // diagnostic: the text holds none of its literals, and no run in the
    // text makes its search costly enough to reach a limit of the library.
    // The questions are charged to the message's budget.
    bool certainlyzero(const skipfacts& facts);

   private:
    // Whether the text holds none of the plan's literals and no run longer
    // than it allows.
    bool noneoccurs(const skipfacts& facts);
    // The pattern's analysis: kept by the counter or the store, or made
    // into owned.
    const patternshape& shapefor(patternref pattern, patternshape& owned);
    // The route of the pattern's search, and in shape its analysis (left
    // as the caller set it when memory runs out).
    route plan(patternref pattern, patternshape& owned, const patternshape*& shape);
    // Whether a search needs the watch at every start position: not where
    // the analysis bounds its work far within its allowance.
    bool needswatch(const patternshape& shape) noexcept;
    // The callouts the search of a pattern on this route needs.
    watch watchfor(std::string_view pattern, route r, const patternshape& shape) noexcept;
    // The pattern compiled, from the store or into owned; null when it does
    // not compile.
    const regexcode* compiled(patternref pattern, watch how, regexholder& owned);

    std::string_view text_;
    bool straightforward_;
    evalprofile* profile_;
    workbudget& budget_;
    evalsink& sink_;
    patternstore* store_;
    textindex index_;
    // The analyses prime made of patterns the store does not keep.
    std::unordered_map<std::string_view, patternshape> shapes_;
    std::vector<std::string> literals_;
};

// The matches of a pattern nothing is known of, in one text, with the
// default limits: what the public countmatches() counts. Exhausted memory is
// thrown as memoryexhausted.
int countonce(std::string_view text, const char* pattern, evalsink& sink);

}  // namespace pst
