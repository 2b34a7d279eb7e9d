// Scoring saved mail in bulk, exactly as the plugin scores each message, on
// all cores.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "corpus/mailsource.h"

namespace pst {

class ruleset;

// A rule that hit a message: its line, its occurrences, those of its
// capitals (0 for an exact-case rule) and what it added to the score.
struct messagehit {
    int line, found, capitals, added;
};

// The texts of a run's diagnostics, each held once however many messages
// give it: a rule that fails in every message of a large corpus would
// otherwise hold its text, pattern and all, once a message.
class diagnostictexts {
   public:
    // The text held, for any thread; exhausted memory is thrown.
    const std::string* hold(std::string text) {
        const std::lock_guard<std::mutex> guard(lock_);
        return &*texts_.insert(std::move(text)).first;
    }

   private:
    std::mutex lock_;
    std::set<std::string> texts_;
};

// A diagnostic the plugin would have written for a message: the line of the
// rule it is about, and its text, held by the run.
struct messagediagnostic {
    int line;
    const std::string* text;
    bool operator<(const messagediagnostic& o) const {
        return line != o.line ? line < o.line : *text < *o.text;
    }
    bool operator==(const messagediagnostic& o) const { return line == o.line && text == o.text; }
};

struct scoredmessage {
    bool scored = false;
    std::string error;  // why it was not scored
    int score = 0;
    std::vector<messagehit> hits;
    bool headerended = true;                     // without it, the body was not scored
    bool encoded = false;                        // the rules saw base64 or quoted-printable text
    std::vector<messagediagnostic> diagnostics;  // each once, in the order of the rules
};

// A rule's work over the corpus: its CPU time in all, the most it took on
// one message, and the messages on which the work budget ended a search of
// it.
struct rulecost {
    int line = 0;
    double seconds = 0, most = 0;
    int cut = 0;
};

struct scoringrun {
    std::vector<scoredmessage> results;  // one per message, in order
    std::unique_ptr<diagnostictexts> texts = std::make_unique<diagnostictexts>();
    // Each rule's work, in the order of the rule file, when it was asked for.
    std::vector<rulecost> costs;
};

// Every message scored against the rules, which every worker shares; jobs 0
// means one per core. A progress line goes to standard error when it is a
// terminal. timed: each rule's work is measured too.
scoringrun scoreall(const std::vector<savedmessage>& messages, const ruleset& rules, unsigned jobs,
                    bool timed = false);

}  // namespace pst
