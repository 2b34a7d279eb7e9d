// blocklistctl's command line: its commands, their help, and one table of
// options from which the parser, the check that an option belongs to the
// command it is given to, and the list of each command's options are all
// made.
#pragma once

#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "corpus/corpus.h"

namespace pst {

// One command's synopsis and what it does: the full help is all of them, a
// command's help its own. The synopses are laid out by hand; a test holds
// each to the options the table gives its command.
struct commandhelp {
    const char* name;
    const char* synopsis;
    const char* description;
};
extern const commandhelp commands[5];

// What the command line asked for.
struct request {
    const char* command = nullptr;
    const char* rules = nullptr;
    const char* rule = nullptr;
    std::vector<const char*> stats;
    long stale = -1;
    corpusrequest corpus;
    bool json = false;
    bool fixcase = false;
    bool help = false;
    std::vector<const char*> operands;
    std::bitset<32> given;  // by their place in the option table
};

// One option: its long name, whether it takes a value, the commands it means
// something to (bits in the order of commands[]), and what it does to the
// request: nothing, or the text of a usage error.
struct optionspec {
    const char* name;
    bool takesvalue;
    unsigned commands;
    std::string (*apply)(request& r, const char* value);
};
const std::vector<optionspec>& optiontable();

// The options of the command named, as "--name", in the table's order.
std::vector<std::string> optionsof(std::string_view command);

// Parses argv (the command first); an empty string, or the usage error.
std::string parsecommandline(int argc, char** argv, request& r);

// An option given where it means nothing, or a combination that cannot be
// done: what is wrong, or nothing.
std::string misplaced(const request& r);

bool knowncommand(std::string_view name);

}  // namespace pst
