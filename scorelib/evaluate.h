// The evaluation behind evalscore, with the choices the plugin's callers
// need: the files already open, a sink for its lines, a profile, the budget
// and the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ruleset.h"
#include "sink.h"

namespace pst {

struct searchlimits;
class sysio;

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

// The message open at messagefd scored against rules read once for many
// messages (blocklistctl corpus); options.compiledrules is the ruleset's.
int evaluate(const ruleset& rules, int messagefd, int debug, const char* statspath,
             const evaloptions& options);

// Opens a file for reading without waiting for a writer (a FIFO would make
// an ordinary open wait forever); -1 on failure.
int openforreading(const char* path);

}  // namespace pst
