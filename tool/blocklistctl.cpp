// The administrator's companion of the plugin.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "explain.h"
#include "report.h"

namespace {

constexpr const char* usage =
    "usage: blocklistctl check [RULEFILE]\n"
    "       blocklistctl explain MESSAGE [--rules RULEFILE]\n"
    "       blocklistctl stats [--stale DAYS] [--rules RULEFILE] [--stats STATSFILE]\n"
    "\n"
    "  check   reads the rule file as the plugin does and reports, one finding a\n"
    "          line, FILE:LINE: error|warning|note: text; exit status 0 (clean),\n"
    "          1 (warnings only) or 2 (errors). It never writes anything.\n"
    "  explain scores MESSAGE exactly as the plugin does (without the debug\n"
    "          marker) and shows the Subject line as cleaned, the text sizes, and\n"
    "          for each rule that hits its line, pattern, weight, occurrences,\n"
    "          capitalised occurrences, contribution and running score. It never\n"
    "          writes the statistics file.\n"
    "  stats   lists the rules with the time of their latest recorded hit (newest\n"
    "          first), the rules never recorded, with --stale the rules not hit\n"
    "          for DAYS days, and recorded patterns no longer in the rule file.\n"
    "          It only reads.\n"
    "\n"
    "RULEFILE defaults to " POSTSENTINEL_RULEFILE
    ",\n"
    "STATSFILE to " POSTSENTINEL_STATSFILE ".\n";

int stats(int argc, char** argv) {
    const char* rules = POSTSENTINEL_RULEFILE;
    const char* statsfile = POSTSENTINEL_STATSFILE;
    long stale = -1;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return -1;
        if (std::strcmp(argv[i], "--rules") == 0) {
            rules = argv[i + 1];
        } else if (std::strcmp(argv[i], "--stats") == 0) {
            statsfile = argv[i + 1];
        } else if (std::strcmp(argv[i], "--stale") == 0) {
            char* end = nullptr;
            stale = std::strtol(argv[i + 1], &end, 10);
            if (*end != '\0' || stale < 0) return -1;
        } else {
            return -1;
        }
    }
    return pst::reportstats(rules, statsfile, stale, stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0 && argc <= 3)
        return pst::checkrules(argc == 3 ? argv[2] : POSTSENTINEL_RULEFILE, stdout);
    if (argc == 3 && std::strcmp(argv[1], "explain") == 0)
        return pst::explainmessage(argv[2], POSTSENTINEL_RULEFILE, stdout);
    if (argc == 5 && std::strcmp(argv[1], "explain") == 0 && std::strcmp(argv[3], "--rules") == 0)
        return pst::explainmessage(argv[2], argv[4], stdout);
    if (argc >= 2 && std::strcmp(argv[1], "stats") == 0)
        if (const int status = stats(argc, argv); status >= 0) return status;
    std::fputs(usage, stderr);
    return 2;
}
