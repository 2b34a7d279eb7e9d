// The evaluation behind evalscore, with the choices the plugin's callers
// need: the files already open, a sink for its lines, a profile, the budget
// and the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sink.h"

namespace pst {

struct searchlimits;
class sysio;
class compilecache;

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

// For the tests, the benchmark and blocklistctl: the plugin takes the defaults.
struct evaloptions {
    // One library search over the whole text for every rule, with none of
    // the shortcuts that leave the output unchanged.
    bool straightforward = false;
    evalprofile* profile = nullptr;
    // Where the evaluation's lines go; null for the plugin's streams.
    evalsink* sink = nullptr;
    // The work budget of the searches; null for the defaults.
    const searchlimits* limits = nullptr;
    // The system calls of reading and recording; null for the real ones.
    sysio* system = nullptr;
    // Patterns compiled for earlier messages (blocklistctl corpus); null to
    // compile each for this message, as the plugin does.
    compilecache* compiled = nullptr;
    // Each rule's work appended in the order of the rule file
    // (blocklistctl corpus); null not to time the rules, as the plugin does.
    std::vector<rulework>* work = nullptr;
    // The compiled form of the rule file (made by blocklistctl compile), used
    // when it matches the rule file exactly; null for none.
    const char* compiledrules = nullptr;
};

// evalscore with options: the files are opened by path.
int evaluate(const char* rulepath, const char* msgpath, int debug, const char* statspath,
             const evaloptions& options);

// The same on files the caller opened once: the message (readable) and the
// rule file (scored only when it is a regular file). Not taken over.
struct openfiles {
    int message;
    int rules;
};
int evaluate(const openfiles& files, int debug, const char* statspath, const evaloptions& options);

// Opens a file for reading without waiting for a writer (a FIFO would make
// an ordinary open wait forever); -1 on failure.
int openforreading(const char* path);

}  // namespace pst
