// The administrator's companion of the plugin.
#include <cstdio>
#include <cstring>

#include "check.h"
#include "explain.h"

namespace {

constexpr const char* usage =
    "usage: blocklistctl check [RULEFILE]\n"
    "       blocklistctl explain MESSAGE [--rules RULEFILE]\n"
    "\n"
    "  check   reads the rule file as the plugin does and reports, one finding a\n"
    "          line, FILE:LINE: error|warning|note: text; exit status 0 (clean),\n"
    "          1 (warnings only) or 2 (errors). It never writes anything.\n"
    "  explain scores MESSAGE exactly as the plugin does (without the debug\n"
    "          marker) and shows the Subject line as cleaned, the text sizes, and\n"
    "          for each rule that hits its line, pattern, weight, occurrences,\n"
    "          capitalised occurrences, contribution and running score. It never\n"
    "          writes the statistics file.\n"
    "\n"
    "RULEFILE defaults to " POSTSENTINEL_RULEFILE ".\n";

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
    std::fputs(usage, stderr);
    return 2;
}
