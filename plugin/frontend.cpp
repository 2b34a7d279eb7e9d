#include "frontend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "scorelib.h"

namespace pst {
namespace {

constexpr const char* pluginversion = "1.4.3";

// Opening a FIFO for reading waits for a writer; a probe must not, so it
// opens without blocking.
bool canread(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// The rule file must be a regular file: a directory reads as no rules, so
// every message would pass, and a device may never end.
bool canreadrules(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
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
    if (!canread(message)) return refuse("Unable to open file for scanning.");
    if (!canreadrules(paths.rulefile)) return refuse("Unable to open local blocklist file.");
    const int debug = canread(paths.debugmarker) ? 2 : 0;
    // A score that cannot be written is no success: the host gets none.
    const int score = evalscore(paths.rulefile, message, debug, paths.statsfile);
    if (std::printf("%d\n", score) < 0 || std::fflush(stdout) != 0) return 1;
    return 0;
}

}  // namespace pst
