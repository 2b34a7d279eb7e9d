// The plugin's -scan with the straightforward evaluation: one library search
// over the whole text per rule. The benchmark runs it beside the plugin, as
// whole processes.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "evaluate.h"

int main(int argc, char** argv) {
    if (argc < 6 || std::strcmp(argv[1], "-scan") != 0) return 2;
    pst::evaloptions options;
    options.straightforward = true;
    // The debug marker beside the rules, as the plugin has its own.
    const int debug = ::access(BENCH_RULEFILE ".debug", R_OK) == 0 ? 2 : 0;
    std::printf("%d\n", pst::evaluate(BENCH_RULEFILE, argv[5], debug, nullptr, options));
    return 0;
}
