// The rule file, read whole before any rule is counted: by the plugin's
// evaluation and by blocklistctl check alike.
#pragma once

#include <string>
#include <vector>

#include "rules/rule.h"

namespace pst {

class boundedreader;

struct numberedrule {
    int line;
    rule r;
};

// The whole rule file, read before any rule is counted, so that the literals
// of every rule are found in one pass over the text.
struct rulefile {
    rulefile() = default;
    rulefile(const rulefile&) = delete;
    rulefile& operator=(const rulefile&) = delete;
    std::vector<std::string> lines;
    std::vector<numberedrule> rules;  // the lines that are counted, in order
};

// Every line as it is in the file, each through its newline, however long.
// Exhausted memory is thrown.
void readrulelines(boundedreader& in, std::vector<std::string>& lines);

// The rules among the lines, cut at their newlines, that are counted at this
// debug level (weight 0 only in debug mode). The rules point into the lines,
// which stay where they are from then on. Exhausted memory is thrown.
void parserules(int debug, rulefile& f);

}  // namespace pst
