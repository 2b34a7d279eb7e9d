// The administrator's companion of the plugin.
#include <getopt.h>
#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "explain.h"
#include "paths.h"
#include "report.h"

namespace {

constexpr const char* usage =
    "usage: blocklistctl check [--format=text|json] [RULEFILE]\n"
    "       blocklistctl explain [--format=text|json] [--rules RULEFILE | --rule 'WEIGHT "
    "PATTERN']\n"
    "                            MESSAGE\n"
    "       blocklistctl stats [--format=text|json] [--stale DAYS] [--rules RULEFILE]\n"
    "                          [--stats STATSFILE]...\n"
    "       blocklistctl --version\n"
    "\n"
    "  check   reads the rule file as the plugin does and reports, one finding a\n"
    "          line, FILE:LINE[:COLUMN]: error|warning|note: text; exit status 0\n"
    "          (clean), 1 (warnings only) or 2 (errors). It never writes anything.\n"
    "  explain scores MESSAGE exactly as the plugin does (without the debug\n"
    "          marker) and shows the Subject line as cleaned, the text sizes, and\n"
    "          for each rule that hits its line, pattern, weight, occurrences,\n"
    "          capitalised occurrences, contribution and running score; --rule\n"
    "          tries one rule without a rule file. It never writes the statistics\n"
    "          file.\n"
    "  stats   lists the rules with the time of their latest recorded hit (newest\n"
    "          first), the rules never recorded, with --stale the rules not hit\n"
    "          for DAYS days, and recorded patterns no longer in the rule file.\n"
    "          Several --stats files (one per mail server) are merged. It only\n"
    "          reads.\n"
    "\n"
    "Options may come before or after the operands, as --opt VALUE or\n"
    "--opt=VALUE; -h or --help after any command prints this. A file named \"-\"\n"
    "is standard input. --format=json writes one JSON document for scripts.\n"
    "RULEFILE defaults to " POSTSENTINEL_RULEFILE ", STATSFILE to " POSTSENTINEL_STATSFILE
    ".\n"
    "\n"
    "Exit status: 0 done (check: clean), 1 check found warnings only, 2 check\n"
    "found errors, 64 usage error, 66 a file cannot be read.\n";

// What the command line asked for.
struct request {
    const char* command = nullptr;
    const char* rules = nullptr;
    const char* rule = nullptr;
    std::vector<const char*> stats;
    long stale = -1;
    bool json = false;
    bool help = false;
    std::vector<const char*> operands;
};

// Days since 1970 and for as long again: more is a mistake, and the seconds
// they make would not fit.
constexpr long maxdays = 1'000'000;

int usageerror(const std::string& problem) {
    std::fprintf(stderr, "blocklistctl: %s\n", problem.c_str());
    std::fputs(usage, stderr);
    return EX_USAGE;
}

// Returns 0, or the exit status of a usage error.
int parse(int argc, char** argv, request& r) {
    static const option longoptions[] = {{"rules", required_argument, nullptr, 'r'},
                                         {"rule", required_argument, nullptr, 'R'},
                                         {"stats", required_argument, nullptr, 's'},
                                         {"stale", required_argument, nullptr, 'd'},
                                         {"format", required_argument, nullptr, 'f'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    r.command = argv[0];
    opterr = 0;  // the messages below name the option without the program's path
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, ":h", longoptions, nullptr)) != -1;) {
        switch (c) {
            case 'r':
                r.rules = optarg;
                break;
            case 'R':
                r.rule = optarg;
                break;
            case 's':
                r.stats.push_back(optarg);
                break;
            case 'd': {
                char* end = nullptr;
                errno = 0;
                const long days = std::strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || errno == ERANGE || days < 0 || days > maxdays)
                    return usageerror(std::string("--stale needs a number of days from 0 to ") +
                                      std::to_string(maxdays) + ", not '" + optarg + "'");
                r.stale = days;
                break;
            }
            case 'f':
                if (std::strcmp(optarg, "json") != 0 && std::strcmp(optarg, "text") != 0)
                    return usageerror(std::string("--format is text or json, not '") + optarg +
                                      "'");
                r.json = std::strcmp(optarg, "json") == 0;
                break;
            case 'h':
                r.help = true;
                break;
            case ':':
                return usageerror(std::string("option '") + argv[optind - 1] + "' needs a value");
            default:
                return usageerror(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    for (int i = optind; i < argc; ++i) r.operands.push_back(argv[i]);
    return 0;
}

// Standard input can be read once.
bool stdintwice(const request& r) {
    int uses = 0;
    auto count = [&](const char* p) { uses += p && std::strcmp(p, "-") == 0; };
    count(r.rules);
    for (const char* p : r.stats) count(p);
    for (const char* p : r.operands) count(p);
    return uses > 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageerror("no command");
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        std::fputs(usage, stdout);
        return EX_OK;
    }
    if (first == "--version") {
        std::puts("blocklistctl " POSTSENTINEL_VERSION);
        return EX_OK;
    }
    request r;
    if (const int status = parse(argc - 1, argv + 1, r); status != 0) return status;
    if (r.help) {
        std::fputs(usage, stdout);
        return EX_OK;
    }
    const std::string_view command = r.command;
    if (command != "check" && command != "explain" && command != "stats")
        return usageerror("unknown command '" + std::string(command) + "'");
    if (r.rule && command != "explain") return usageerror("--rule is for explain");
    if (r.rule && r.rules) return usageerror("--rule and --rules exclude each other");
    if (!r.stats.empty() && command != "stats") return usageerror("--stats is for stats");
    if (r.stale >= 0 && command != "stats") return usageerror("--stale is for stats");
    if (stdintwice(r)) return usageerror("standard input (\"-\") can be read only once");
    const char* rules = r.rules ? r.rules : POSTSENTINEL_RULEFILE;
    const size_t n = r.operands.size();
    if (command == "check" && n <= 1)
        return pst::checkrules(n == 1 ? r.operands[0] : rules, r.json, stdout);
    if (command == "explain" && n == 1)
        return pst::explainmessage(r.operands[0], rules, r.rule, r.json, stdout);
    if (command == "stats" && n == 0) {
        if (r.stats.empty()) r.stats.push_back(POSTSENTINEL_STATSFILE);
        return pst::reportstats(rules, r.stats, r.stale, r.json, stdout);
    }
    return usageerror("wrong number of operands for " + std::string(command));
}
