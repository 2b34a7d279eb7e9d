// The rules of one rule file, read once and never changed after: the text as
// read, each rule's line, weight and pattern, the compiled form where one
// fits, and (for scoring many messages) each pattern compiled and analysed
// once. One ruleset may score any number of messages from any number of
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "sink.h"

namespace pst {

class sysio;
class hitlog;
struct searchlimits;
struct mailtext;
struct scoring;

// Where an evaluation spends its time, in seconds.
struct evalprofile {
    double read = 0;     // reading the message and building the scan text
    double fold = 0;     // the folded text
    double compile = 0;  // compiling patterns
    double search = 0;   // counting
    double stats = 0;    // the statistics rewrite
    int budgetcuts = 0;  // searches ended by the work budget
    int leftout = 0;     // rules the compiled form let go unsearched
};

// What one rule's searches in one message took, both passes and its
// compilation included: the time on the evaluating thread, and whether the
// work budget ended one of them.
struct rulework {
    int line;
    uint64_t nanoseconds;
    bool cut;
};

// One rule as the plugin reads it.
struct ruleline {
    int line;  // from 1
    bool exact;
    int weight;
    std::string_view pattern;  // followed by a NUL
};

class ruleset {
   public:
    struct options {
        // The compiled form of the rule file (made by blocklistctl compile),
        // used where it was made from exactly these rules; null for none.
        const char* formpath = nullptr;
        // Each pattern compiled and analysed once, for every message after
        // the first: for scoring many messages. The plugin scores one, and
        // frees each pattern after its search.
        bool keepcompiled = false;
    };

    // Reads the rule file open at fd to its end, or to a read error: the
    // rules read before it are the set, and readfailed() says so. Exhausted
    // memory is thrown as memoryexhausted.
    ruleset(sysio& sys, int fd, const options& how);
    ~ruleset();
    ruleset(const ruleset&) = delete;
    ruleset& operator=(const ruleset&) = delete;

    // Every rule, weight 0 included, in the order of the file.
    const std::vector<ruleline>& rules() const;
    // The file's bytes as read.
    std::string_view text() const;
    bool readfailed() const;
    int readerror() const;  // the errno of the failed read

    struct impl;  // what it holds, known to the library alone

   private:
    std::unique_ptr<impl> impl_;
    friend int score(const ruleset&, mailtext, evalsink&, const scoring&);
};

// A message as the rules see it: the scan text, and the same folded to lower
// case, of the same length.
struct mailtext {
    std::string_view text;
    std::string_view folded;
};

// How a message is scored.
struct scoring {
    // 0, or 2 for the debug marker's mode: weight-0 rules are counted too.
    int debug = 0;
    // One library search over the whole text for every rule, with none of
    // the shortcuts that leave the output unchanged.
    bool straightforward = false;
    // The work budget of the searches; null for the defaults.
    const searchlimits* limits = nullptr;
    evalprofile* profile = nullptr;
    // Each rule's work appended in the order of the rule file; null not to
    // time the rules, as the plugin does.
    std::vector<rulework>* work = nullptr;
    // Where the rules that hit are noted for the statistics; null for none.
    hitlog* hits = nullptr;
};

// The message's score: each rule that hits told to the sink, the
// diagnostics too, and last a read error that ended the rule file. Exhausted
// memory is thrown as memoryexhausted.
int score(const ruleset& rules, mailtext message, evalsink& sink, const scoring& how);

}  // namespace pst
