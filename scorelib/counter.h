// Counting the rules' patterns in one text, the fast way or the
// straightforward way; both give the same counts and the same diagnostics.
#pragma once

#include <chrono>
#include <string_view>

#include "internal.h"
#include "textindex.h"

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

class patterncounter {
   public:
    patterncounter(std::string_view text, bool straightforward, evalprofile* profile);

    // countmatches of pattern in the text.
    int count(const char* pattern, int debug);

   private:
    // A search is skipped only when it cannot match (every match holds one
    // of the required literals, and none occurs in the text) and cannot fail
    // either (its work per start position stays far below the match limit).
    bool cannotmatch(std::string_view pattern);

    std::string_view text_;
    bool straightforward_;
    evalprofile* profile_;
    textindex index_;
};

}  // namespace pst
