// "blocklistctl corpus": the rules over saved ham and spam, scored exactly as
// the plugin scores each message: which rules hit where, how the scores
// spread, and what a change of the rules would do.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "corpus/suggest.h"

namespace pst {

// The most workers --jobs asks for.
constexpr unsigned maxjobs = 256;

enum corpusset { unlabelled = 0, ham = 1, spam = 2 };

struct corpusrequest {
    const char* rules = nullptr;
    std::vector<std::pair<std::string, corpusset>> sources;
    const char* compare = nullptr;  // a second rule file
    bool hasthreshold = false;
    int threshold = 0;
    const char* plot = nullptr;    // FILE.svg or FILE.png
    long long bucketwidth = 0;     // of the distribution and the plot; 0 to choose
    bool costs = false;            // each rule's work over the corpus
    bool suggest = false;          // weights fitted to the ham and spam
    int hamcost = defaulthamcost;  // a false positive costs this many false negatives
    const char* write = nullptr;   // the rule file with the suggested weights
    bool json = false;
    bool all = false;   // every message of the lists the text report bounds
    unsigned jobs = 0;  // 0: one per core; at most maxjobs
};

// Returns 0, 66 when the rule file or every source cannot be read, 70 when
// the plot cannot be written, 73 when the suggested rule file cannot be
// written, 64 when it would replace the rule file.
int corpusreport(const corpusrequest& request, FILE* out);

}  // namespace pst
