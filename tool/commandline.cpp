#include "commandline.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "corpus/plot.h"

namespace pst {

const commandhelp commands[5] = {
    {"check", "blocklistctl check [--format=text|json | --fix-case] [RULEFILE]\n",
     "  check   reads the rule file as the plugin does and reports, one finding a\n"
     "          line, FILE:LINE[:COLUMN]: error|warning|note: text; exit status 0\n"
     "          (clean), 1 (warnings only) or 2 (errors), and whether the plugin\n"
     "          uses the compiled form beside it. It never writes anything.\n"
     "          --fix-case writes the rule file to standard output with each rule\n"
     "          whose capitals cannot compile (such as '(?i)...') marked exact and,\n"
     "          for (?i), in lower case, so that it scores as before without a\n"
     "          compile error on every hit; a note of each line changed goes to\n"
     "          standard error.\n"},
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
     "                           [--spam SRC]... [--threshold N] [--all]\n"
     "                           [--compare NEWRULES]\n"
     "                           [--plot FILE.svg|FILE.png] [--buckets WIDTH]\n"
     "                           [--costs] [--jobs N] [--suggest [--ham-cost K]\n"
     "                           [--write FILE]] [SRC]...\n",
     "  corpus  scores saved mail exactly as the plugin does: SRC is a message file,\n"
     "          a directory of them, a Maildir or an mbox file (a file with more\n"
     "          than one message, each after a 'From ' line); --ham and --spam label\n"
     "          their source. It reports per rule the share of ham and of spam it\n"
     "          hits, its spam share of hits (S/O) and its contribution, the rules\n"
     "          that hit nothing and the score distribution; --threshold lists the\n"
     "          ham at or above N and the spam below it, the 20 farthest from N,\n"
     "          --compare the messages whose score NEWRULES changes, --plot draws\n"
     "          both distributions and the error rates over the threshold, --buckets\n"
     "          sets the width of the buckets of the distribution and the plot,\n"
     "          --costs lists the rules that cost the most CPU time and those the\n"
     "          search budget cut short. The library's diagnostics go to standard\n"
     "          error with their message and rule line, the first 20, and then a\n"
     "          count per rule; --all lists every message and every diagnostic. It\n"
     "          uses every core (--jobs) and never writes the statistics file. A\n"
     "          source that cannot be read is named, the rest is scored, and the\n"
     "          exit status is 66. --suggest fits the weights of the rules that hit\n"
     "          the ham and spam to the threshold, a false positive costing K\n"
     "          false negatives (10), and measures the fit on messages it did not\n"
     "          see (5 folds); --write FILE writes the rule file with those weights\n"
     "          (never over the rule file itself).\n"},
};

namespace {

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

// "--NAME needs WHAT from lo to hi, not 'value'", or nothing when value is
// such a number, in out.
std::string numberfrom(const char* value, const char* what, long lo, long hi, long& out) {
    if (number(value, lo, hi, out)) return "";
    return std::string(what) + " from " + std::to_string(lo) + " to " + std::to_string(hi) +
           ", not '" + value + "'";
}

// Bits of the commands in the order of commands[].
constexpr unsigned forcheck = 1, forcompile = 2, forexplain = 4, forstats = 8, forcorpus = 16;
constexpr unsigned forall = forcheck | forcompile | forexplain | forstats | forcorpus;

// In the order their misplacement is reported; the options for corpus alone
// are named together, in this order.
const std::vector<optionspec> table = {
    {"rules", true, forall, [](request& r, const char* v) { return (r.rules = v, std::string()); }},
    {"format", true, forall,
     [](request& r, const char* v) {
         if (std::strcmp(v, "json") != 0 && std::strcmp(v, "text") != 0)
             return std::string("--format is text or json, not '") + v + "'";
         r.json = std::strcmp(v, "json") == 0;
         return std::string();
     }},
    {"fix-case", false, forcheck,
     [](request& r, const char*) { return (r.fixcase = true, std::string()); }},
    {"rule", true, forexplain,
     [](request& r, const char* v) { return (r.rule = v, std::string()); }},
    {"stats", true, forstats,
     [](request& r, const char* v) { return (r.stats.push_back(v), std::string()); }},
    {"ham", true, forcorpus,
     [](request& r, const char* v) {
         return (r.corpus.sources.emplace_back(v, ham), std::string());
     }},
    {"spam", true, forcorpus,
     [](request& r, const char* v) {
         return (r.corpus.sources.emplace_back(v, spam), std::string());
     }},
    {"threshold", true, forcorpus,
     [](request& r, const char* v) {
         long n = 0;
         if (!number(v, INT_MIN, INT_MAX, n))
             return std::string("--threshold needs a score, not '") + v + "'";
         r.corpus.hasthreshold = true;
         r.corpus.threshold = static_cast<int>(n);
         return std::string();
     }},
    {"all", false, forcorpus,
     [](request& r, const char*) { return (r.corpus.all = true, std::string()); }},
    {"compare", true, forcorpus,
     [](request& r, const char* v) { return (r.corpus.compare = v, std::string()); }},
    {"plot", true, forcorpus,
     [](request& r, const char* v) { return (r.corpus.plot = v, std::string()); }},
    {"buckets", true, forcorpus,
     [](request& r, const char* v) {
         long n = 0;
         std::string wrong = numberfrom(v, "--buckets needs a width", 1, INT_MAX, n);
         r.corpus.bucketwidth = n;
         return wrong;
     }},
    {"costs", false, forcorpus,
     [](request& r, const char*) { return (r.corpus.costs = true, std::string()); }},
    {"suggest", false, forcorpus,
     [](request& r, const char*) { return (r.corpus.suggest = true, std::string()); }},
    {"ham-cost", true, forcorpus,
     [](request& r, const char* v) {
         long n = 0;
         std::string wrong = numberfrom(v, "--ham-cost needs a number", 1, maxhamcost, n);
         r.corpus.hamcost = static_cast<int>(n);
         return wrong;
     }},
    {"write", true, forcorpus,
     [](request& r, const char* v) { return (r.corpus.write = v, std::string()); }},
    {"jobs", true, forcorpus,
     [](request& r, const char* v) {
         long n = 0;
         std::string wrong = numberfrom(v, "--jobs needs a number", 1, maxjobs, n);
         r.corpus.jobs = static_cast<unsigned>(n);
         return wrong;
     }},
    {"stale", true, forstats,
     [](request& r, const char* v) {
         return numberfrom(v, "--stale needs a number of days", 0, maxdays, r.stale);
     }},
};

unsigned commandbit(std::string_view command) {
    for (size_t i = 0; i < std::size(commands); ++i)
        if (command == commands[i].name) return 1u << i;
    return 0;
}

bool given(const request& r, std::string_view name) {
    for (size_t i = 0; i < table.size(); ++i)
        if (name == table[i].name) return r.given[i];
    return false;
}

// Where a misplaced option belongs: "--rule is for explain", or the options
// of corpus together.
std::string belongs(const optionspec& o) {
    if (o.commands != forcorpus) {
        for (size_t i = 0; i < std::size(commands); ++i)
            if (o.commands == 1u << i)
                return std::string("--") + o.name + " is for " + commands[i].name;
        return "";
    }
    std::vector<std::string> names;
    for (const optionspec& c : table)
        if (c.commands == forcorpus) names.push_back(std::string("--") + c.name);
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text + " are for corpus";
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

}  // namespace

const std::vector<optionspec>& optiontable() {
    return table;
}

std::vector<std::string> optionsof(std::string_view command) {
    std::vector<std::string> names;
    for (const optionspec& o : table)
        if (o.commands & commandbit(command)) names.push_back(std::string("--") + o.name);
    return names;
}

bool knowncommand(std::string_view name) {
    return commandbit(name) != 0;
}

std::string parsecommandline(int argc, char** argv, request& r) {
    std::vector<option> longoptions;
    for (size_t i = 0; i < table.size(); ++i)
        longoptions.push_back({table[i].name, table[i].takesvalue ? required_argument : no_argument,
                               nullptr, static_cast<int>(i) + 1});
    longoptions.push_back({"help", no_argument, nullptr, 'h'});
    longoptions.push_back({nullptr, 0, nullptr, 0});
    r.command = argv[0];
    opterr = 0;  // the messages below name the option without the program's path
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, ":h", longoptions.data(), nullptr)) != -1;) {
        if (c == 'h') {
            r.help = true;
        } else if (c == ':') {
            return std::string("option '") + argv[optind - 1] + "' needs a value";
        } else if (c >= 1 && static_cast<size_t>(c) <= table.size()) {
            const auto i = static_cast<size_t>(c - 1);
            r.given.set(i);
            if (std::string wrong = table[i].apply(r, optarg); !wrong.empty()) return wrong;
        } else {
            return std::string("unknown option '") + argv[optind - 1] + "'";
        }
    }
    for (int i = optind; i < argc; ++i) r.operands.push_back(argv[i]);
    return "";
}

std::string misplaced(const request& r) {
    const unsigned here = commandbit(r.command);
    for (size_t i = 0; i < table.size(); ++i)
        if (r.given[i] && !(table[i].commands & here)) return belongs(table[i]);
    const corpusrequest& c = r.corpus;
    if (r.rule && r.rules) return "--rule and --rules exclude each other";
    if (r.fixcase && r.json) return "--fix-case writes a rule file, not JSON";
    if ((given(r, "write") || given(r, "ham-cost")) && !c.suggest)
        return "--ham-cost and --write are for --suggest";
    if (c.suggest && !c.hasthreshold)
        return "--suggest needs --threshold: the score from which mail is spam";
    if (stdintwice(r)) return "standard input (\"-\") can be read only once";
    if (c.plot && !plotnameknown(c.plot))
        return std::string("--plot needs a .svg or a .png file, not '") + c.plot + "'";
    return "";
}

}  // namespace pst
