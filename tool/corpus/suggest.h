// Weights that saved ham and spam suggest for the rules that hit them: a
// smooth fit of the scores to the verdicts at the threshold (a false
// positive costing hamcost false negatives), rounded and then improved rule
// by rule on the exact count of errors; and the same fit measured on
// messages it did not see (k-fold cross-validation, the folds dealt the same
// way on every run),
// so that a small corpus cannot pass off chance as a gain.
//
// A rule's effect on a message is exactly the plugin's: its occurrences plus
// twice its capitals' occurrences (the Subject already counted three times),
// times its weight. Weights stay integers within a bound chosen so that no
// score of the corpus can wrap.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pst {

// One labelled message: spam or ham, and each rule it hits (by index into
// the rules) with its effect, found + 2 * capitals.
struct sample {
    bool spam = false;
    int before = 0;  // its score with the current weights, as the plugin gave it
    std::vector<std::pair<size_t, long long>> effects;
};

struct ruleweight {
    int line = 0;
    int before = 0, after = 0;
    int ham = 0, spam = 0;  // messages of each that it hits
};

struct errorcount {
    int falsepositives = 0, falsenegatives = 0;
};

enum class heldoutverdict { gain, noise, worse, toosmall };

// Below this many messages of either set, no held-out result is trusted.
constexpr int fewestheldout = 20;

struct suggestion {
    std::vector<ruleweight> rules;  // those that hit a message; the rest keep their weights
    int bound = 0;                  // every weight lies within -bound..bound
    int hams = 0, spams = 0;
    errorcount before, after;  // on every message, by the fit on every message
    int folds = 0;
    errorcount heldbefore, heldafter;  // each message by the fit without its fold
    int improved = 0, worsened = 0;    // held-out verdicts mended and broken
    heldoutverdict verdict = heldoutverdict::toosmall;
};

// A false positive costs this many false negatives, unless --ham-cost says
// otherwise (from 1 to maxhamcost).
constexpr int defaulthamcost = 10;
constexpr int maxhamcost = 1000;

struct suggestrequest {
    int threshold = 0;
    int hamcost = defaulthamcost;
    int folds = 5;
    unsigned shuffle = 1;  // which fixed shuffle deals the folds
};

// rules: the line and current weight of each rule the samples index.
// Exhausted memory is thrown as std::bad_alloc.
suggestion suggestweights(const std::vector<sample>& samples,
                          const std::vector<std::pair<int, int>>& rules, const suggestrequest& q);

// The rule file's text with the weights of the given lines replaced: only
// the sign and digits of each weight change, every other byte stays.
std::string rewriteweights(std::string_view text, const std::vector<ruleweight>& weights);

// How the held-out result reads to an administrator.
const char* verdictname(heldoutverdict v);

}  // namespace pst
