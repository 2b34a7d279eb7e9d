#include "frontend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "evaluate.h"
#include "holders.h"

namespace pst {
namespace {

constexpr const char* pluginversion = "1.4.3";

// The debug marker is only probed: it is never read.
bool canread(const char* path) {
    const fdholder fd(openforreading(path));
    return static_cast<bool>(fd);
}

bool isregular(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int refuse(const char* text) {
    std::printf("#Error: %s\n0\n", text);
    return 0;
}

int handshake(const char* hostversion) {
    std::printf("Local Blocklist Plugin\n%s\n", pluginversion);
    std::puts("Scores a message against the weighted rules of the local blocklist.");
    const bool accepted =
        std::strcmp(hostversion, pluginversion) == 0 || std::strcmp(hostversion, "myver") == 0;
    std::puts(accepted ? "Yes" : "No");
    return 0;
}

}  // namespace

int runplugin(int argc, char** argv, const pluginpaths& paths) {
    if (argc < 3) return refuse("Insufficient arguments");
    if (std::strcmp(argv[1], "-id") == 0) return handshake(argv[2]);
    if (std::strcmp(argv[1], "-scan") != 0) return 0;
    if (argc < 6) return refuse("Insufficient arguments");
    const char* message = argv[5];  // the three arguments before it are the host's, unused
    // Each file is opened once, and what was checked is what is scored.
    const fdholder messagefd(openforreading(message));
    if (!messagefd) return refuse("Unable to open file for scanning.");
    // The rule file must be a regular file: a directory reads as no rules, so
    // every message would pass, and a device may never end.
    const fdholder rulefd(openforreading(paths.rulefile));
    if (!rulefd || !isregular(rulefd.get())) return refuse("Unable to open local blocklist file.");
    const int debug = canread(paths.debugmarker) ? 2 : 0;
    evaloptions options;
    options.compiledrules = paths.compiledrules;
    const int score =
        evaluate(openfiles{messagefd.get(), rulefd.get()}, debug, paths.statsfile, options);
    // A score that cannot be written is no success: the host gets none.
    // Nor is one after comment lines that were lost.
    if (std::printf("%d\n", score) < 0 || std::fflush(stdout) != 0 || std::ferror(stdout)) return 1;
    return 0;
}

}  // namespace pst
