// The administrator's companion of the plugin.
#include <getopt.h>
#include <sys/stat.h>
#include <sysexits.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "compile.h"
#include "corpus/corpus.h"
#include "corpus/plot.h"
#include "explain.h"
#include "paths.h"
#include "stats.h"

namespace {

// One command's synopsis and what it does: the full help is all of them, a
// command's help its own.
struct commandhelp {
    const char* name;
    const char* synopsis;
    const char* description;
};

constexpr commandhelp commands[] = {
    {"check", "blocklistctl check [--format=text|json] [RULEFILE]\n",
     "  check   reads the rule file as the plugin does and reports, one finding a\n"
     "          line, FILE:LINE[:COLUMN]: error|warning|note: text; exit status 0\n"
     "          (clean), 1 (warnings only) or 2 (errors), and whether the plugin\n"
     "          uses the compiled form beside it. It never writes anything.\n"},
    {"compile", "blocklistctl compile [--rules RULEFILE]\n",
     "  compile writes RULEFILE.compiled: what the plugin would otherwise work\n"
     "          out from every rule for every message, so that a rule that cannot\n"
     "          hit a message costs it next to nothing. The plugin uses it only\n"
     "          while it fits the rule file exactly; run it after every edit.\n"},
    {"explain",
     "blocklistctl explain [--format=text|json] [--rules RULEFILE | --rule 'WEIGHT "
     "PATTERN']\n"
     "                            MESSAGE\n",
     "  explain scores MESSAGE exactly as the plugin does (without the debug\n"
     "          marker) and shows the Subject line as cleaned, the text sizes, and\n"
     "          for each rule that hits its line, pattern, weight, occurrences,\n"
     "          capitalised occurrences, contribution and running score; --rule\n"
     "          tries one rule without a rule file. It never writes the statistics\n"
     "          file.\n"},
    {"stats",
     "blocklistctl stats [--format=text|json] [--stale DAYS] [--rules RULEFILE]\n"
     "                          [--stats STATSFILE]...\n",
     "  stats   lists the rules with the time of their latest recorded hit (newest\n"
     "          first), the rules never recorded, with --stale the rules not hit\n"
     "          for DAYS days, and recorded patterns no longer in the rule file.\n"
     "          Several --stats files (one per mail server) are merged. It only\n"
     "          reads.\n"},
    {"corpus",
     "blocklistctl corpus [--format=text|json] [--rules RULEFILE] [--ham SRC]...\n"
     "                           [--spam SRC]... [--threshold N] [--compare NEWRULES]\n"
     "                           [--plot FILE.svg|FILE.png] [--buckets WIDTH]\n"
     "                           [--costs] [--jobs N] [--suggest [--ham-cost K]\n"
     "                           [--write FILE]] [SRC]...\n",
     "  corpus  scores saved mail exactly as the plugin does: SRC is a message\n"
     "          file, a directory of them, a Maildir or an mbox file; --ham and\n"
     "          --spam label their source. It reports per rule the share of ham\n"
     "          and of spam it hits, its spam share of hits (S/O) and its\n"
     "          contribution, the rules that hit nothing and the score\n"
     "          distribution; --threshold lists the ham at or above N and the\n"
     "          spam below it, --compare the messages whose score NEWRULES\n"
     "          changes, --plot draws both distributions and the error rates\n"
     "          over the threshold, --buckets sets the width of the buckets of\n"
     "          the distribution and the plot, --costs lists the rules that cost\n"
     "          the most CPU time and those the search budget cut short. It uses\n"
     "          every core (--jobs) and never writes the statistics file. A\n"
     "          source that cannot be read is named, the rest is scored, and the\n"
     "          exit status is 66. --suggest fits the weights of the rules that\n"
     "          hit the ham and spam to the threshold, a false positive costing K\n"
     "          false negatives (10), and measures the fit on messages it did\n"
     "          not see (5 folds); --write FILE writes the rule file with those\n"
     "          weights (never over the rule file itself).\n"},
};

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
    "cannot be written, 73 the compiled form cannot be written.\n";

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

// What the command line asked for.
struct request {
    const char* command = nullptr;
    const char* rules = nullptr;
    const char* rule = nullptr;
    std::vector<const char*> stats;
    long stale = -1;
    pst::corpusrequest corpus;
    bool json = false;
    bool help = false;
    std::vector<const char*> operands;
};

// Days since 1970 and for as long again: more is a mistake, and the seconds
// they make would not fit.
constexpr long maxdays = 1'000'000;

// A whole decimal number from lo to hi.
bool number(const char* text, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno != ERANGE && out >= lo && out <= hi;
}

int usageerror(const std::string& problem) {
    std::fprintf(stderr, "blocklistctl: %s\nTry 'blocklistctl --help'\n", problem.c_str());
    return EX_USAGE;
}

bool knowncommand(std::string_view name) {
    for (const commandhelp& c : commands)
        if (name == c.name) return true;
    return false;
}

// Returns 0, or the exit status of a usage error.
int parse(int argc, char** argv, request& r) {
    static const option longoptions[] = {{"rules", required_argument, nullptr, 'r'},
                                         {"rule", required_argument, nullptr, 'R'},
                                         {"stats", required_argument, nullptr, 's'},
                                         {"stale", required_argument, nullptr, 'd'},
                                         {"format", required_argument, nullptr, 'f'},
                                         {"ham", required_argument, nullptr, 'H'},
                                         {"spam", required_argument, nullptr, 'S'},
                                         {"threshold", required_argument, nullptr, 't'},
                                         {"compare", required_argument, nullptr, 'c'},
                                         {"plot", required_argument, nullptr, 'p'},
                                         {"jobs", required_argument, nullptr, 'j'},
                                         {"buckets", required_argument, nullptr, 'b'},
                                         {"costs", no_argument, nullptr, 'C'},
                                         {"suggest", no_argument, nullptr, 'G'},
                                         {"ham-cost", required_argument, nullptr, 'K'},
                                         {"write", required_argument, nullptr, 'w'},
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
                long days = 0;
                if (!number(optarg, 0, maxdays, days))
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
            case 'H':
                r.corpus.sources.emplace_back(optarg, pst::ham);
                break;
            case 'S':
                r.corpus.sources.emplace_back(optarg, pst::spam);
                break;
            case 't': {
                long n = 0;
                if (!number(optarg, INT_MIN, INT_MAX, n))
                    return usageerror(std::string("--threshold needs a score, not '") + optarg +
                                      "'");
                r.corpus.hasthreshold = true;
                r.corpus.threshold = static_cast<int>(n);
                break;
            }
            case 'c':
                r.corpus.compare = optarg;
                break;
            case 'p':
                r.corpus.plot = optarg;
                break;
            case 'j': {
                long n = 0;
                if (!number(optarg, 1, pst::maxjobs, n))
                    return usageerror("--jobs needs a number from 1 to " +
                                      std::to_string(pst::maxjobs) + ", not '" + optarg + "'");
                r.corpus.jobs = static_cast<unsigned>(n);
                break;
            }
            case 'b': {
                long n = 0;
                if (!number(optarg, 1, INT_MAX, n))
                    return usageerror(std::string("--buckets needs a width from 1 to ") +
                                      std::to_string(INT_MAX) + ", not '" + optarg + "'");
                r.corpus.bucketwidth = n;
                break;
            }
            case 'C':
                r.corpus.costs = true;
                break;
            case 'G':
                r.corpus.suggest = true;
                break;
            case 'K': {
                long n = 0;
                if (!number(optarg, 1, pst::maxhamcost, n))
                    return usageerror("--ham-cost needs a number from 1 to " +
                                      std::to_string(pst::maxhamcost) + ", not '" + optarg + "'");
                r.corpus.hamcost = static_cast<int>(n);
                break;
            }
            case 'w':
                r.corpus.write = optarg;
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

// Whether both paths name one existing file.
bool samefile(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    if (std::strcmp(a, b) == 0) return true;
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Standard input can be read once.
bool stdintwice(const request& r) {
    int uses = 0;
    auto count = [&](const char* p) { uses += p && std::strcmp(p, "-") == 0; };
    count(r.rules);
    count(r.corpus.compare);
    for (const auto& s : r.corpus.sources) count(s.first.c_str());
    for (const char* p : r.stats) count(p);
    for (const char* p : r.operands) count(p);
    return uses > 1;
}

// An option given where it means nothing, or a combination that cannot be
// done: what is wrong, or nothing.
std::string misplaced(const request& r) {
    const std::string_view command = r.command;
    const pst::corpusrequest& c = r.corpus;
    if (r.rule && command != "explain") return "--rule is for explain";
    if (r.rule && r.rules) return "--rule and --rules exclude each other";
    if (!r.stats.empty() && command != "stats") return "--stats is for stats";
    if (command != "corpus" &&
        (!c.sources.empty() || c.hasthreshold || c.compare || c.plot || c.jobs || c.bucketwidth ||
         c.costs || c.suggest || c.write || c.hamcost != pst::defaulthamcost))
        return "--ham, --spam, --threshold, --compare, --plot, --buckets, --costs, --suggest, "
               "--ham-cost, --write and --jobs are for corpus";
    if ((c.write || c.hamcost != pst::defaulthamcost) && !c.suggest)
        return "--ham-cost and --write are for --suggest";
    if (c.suggest && !c.hasthreshold)
        return "--suggest needs --threshold: the score from which mail is spam";
    if (r.stale >= 0 && command != "stats") return "--stale is for stats";
    if (stdintwice(r)) return "standard input (\"-\") can be read only once";
    if (c.plot && !pst::plotnameknown(c.plot))
        return std::string("--plot needs a .svg or a .png file, not '") + c.plot + "'";
    return "";
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
    request r;
    if (const int status = parse(argc - 1, argv + 1, r); status != 0) return status;
    const std::string_view command = r.command;
    if (!knowncommand(command)) return usageerror("unknown command '" + std::string(command) + "'");
    if (r.help) {
        printhelp(r.command);
        return EX_OK;
    }
    if (const std::string wrong = misplaced(r); !wrong.empty()) return usageerror(wrong);
    const pst::corpusrequest& c = r.corpus;
    const char* rules = r.rules ? r.rules : POSTSENTINEL_RULEFILE;
    if (c.write && (samefile(c.write, rules) || samefile(c.write, POSTSENTINEL_RULEFILE)))
        return usageerror(std::string("--write must name another file than the rule file, not '") +
                          c.write + "'");
    const size_t n = r.operands.size();
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
