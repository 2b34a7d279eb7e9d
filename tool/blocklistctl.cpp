// The administrator's companion of the plugin.
#include <sys/stat.h>
#include <sysexits.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "check.h"
#include "commandline.h"
#include "compile.h"
#include "corpus/corpus.h"
#include "explain.h"
#include "fixcase.h"
#include "paths.h"
#include "stats.h"

namespace {

using pst::commandhelp;
using pst::commands;

constexpr const char* notes =
    "\n"
    "Options may come before or after the operands, as --opt VALUE or\n"
    "--opt=VALUE; -h or --help after a command prints its help. A file named \"-\"\n"
    "is standard input. --format=json writes one JSON document for scripts.\n"
    "RULEFILE defaults to " POSTSENTINEL_RULEFILE ", STATSFILE to " POSTSENTINEL_STATSFILE
    ".\n"
    "\n"
    "Exit status: 0 done (check: clean), 1 check found warnings only, 2 check\n"
    "found errors, 64 usage error, 66 a file cannot be read, 70 the plot\n"
    "cannot be written, 73 the compiled form cannot be written, 74 check\n"
    "--fix-case cannot write its output.\n";

// The help of one command, or of all with null.
void printhelp(const char* only) {
    const char* lead = "usage: ";
    for (const commandhelp& c : commands) {
        if (only && std::strcmp(only, c.name) != 0) continue;
        std::fputs(lead, stdout);
        std::fputs(c.synopsis, stdout);
        lead = "       ";
    }
    if (!only) std::puts("       blocklistctl --version");
    std::putchar('\n');
    for (const commandhelp& c : commands)
        if (!only || std::strcmp(only, c.name) == 0) std::fputs(c.description, stdout);
    std::fputs(notes, stdout);
}

int usageerror(const std::string& problem) {
    std::fprintf(stderr, "blocklistctl: %s\nTry 'blocklistctl --help'\n", problem.c_str());
    return EX_USAGE;
}

// Whether both paths name one existing file.
bool samefile(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    if (std::strcmp(a, b) == 0) return true;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageerror("no command");
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        printhelp(nullptr);
        return EX_OK;
    }
    if (first == "--version") {
        std::puts("blocklistctl " POSTSENTINEL_VERSION);
        return EX_OK;
    }
    pst::request r;
    if (const std::string wrong = pst::parsecommandline(argc - 1, argv + 1, r); !wrong.empty())
        return usageerror(wrong);
    const std::string_view command = r.command;
    if (!pst::knowncommand(command))
        return usageerror("unknown command '" + std::string(command) + "'");
    if (r.help) {
        printhelp(r.command);
        return EX_OK;
    }
    if (const std::string wrong = pst::misplaced(r); !wrong.empty()) return usageerror(wrong);
    const pst::corpusrequest& c = r.corpus;
    const char* rules = r.rules ? r.rules : POSTSENTINEL_RULEFILE;
    if (c.write && (samefile(c.write, rules) || samefile(c.write, POSTSENTINEL_RULEFILE)))
        return usageerror(std::string("--write must name another file than the rule file, not '") +
                          c.write + "'");
    const size_t n = r.operands.size();
    if (command == "check" && n <= 1 && r.fixcase)
        return pst::fixcase(n == 1 ? r.operands[0] : rules, stdout, stderr);
    if (command == "check" && n <= 1)
        return pst::checkrules(n == 1 ? r.operands[0] : rules, r.json, stdout);
    if (command == "compile" && n == 0) return pst::compilerules(rules, stdout);
    if (command == "explain" && n == 1)
        return pst::explainmessage(r.operands[0], rules, r.rule, r.json, stdout);
    if (command == "stats" && n == 0) {
        if (r.stats.empty()) r.stats.push_back(POSTSENTINEL_STATSFILE);
        return pst::reportstats(rules, r.stats, r.stale, r.json, stdout);
    }
    if (command == "corpus") {
        for (const char* source : r.operands)
            r.corpus.sources.emplace_back(source, pst::unlabelled);
        if (r.corpus.sources.empty()) return usageerror("corpus needs messages to score");
        r.corpus.rules = rules;
        r.corpus.json = r.json;
        return pst::corpusreport(r.corpus, stdout);
    }
    return usageerror("wrong number of operands for " + std::string(command));
}
