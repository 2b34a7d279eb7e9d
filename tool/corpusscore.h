// Scoring saved mail in bulk, exactly as the plugin scores each message, on
// all cores.
#pragma once

#include <string>
#include <vector>

#include "mailsource.h"

namespace pst {

struct scoredmessage {
    bool scored = false;
    std::string error;  // why it was not scored
    int score = 0;
    // The rules that hit: their line and what they added.
    std::vector<std::pair<int, int>> hits;
};

struct scoringrun {
    std::vector<scoredmessage> results;  // one per message, in order
    // Each distinct diagnostic of the evaluations and how many messages gave it.
    std::vector<std::pair<std::string, int>> diagnostics;
};

// rulepath must stay readable while this runs; jobs 0 means one per core. A
// progress line goes to standard error when it is a terminal.
scoringrun scoreall(const std::vector<savedmessage>& messages, const char* rulepath, unsigned jobs);

}  // namespace pst
