// The whole evaluation over an arbitrary rule file and message, the fast way
// and the straightforward way: both must write the same bytes and score.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "counting/search.h"
#include "evaluate.h"
#include "rules/rule.h"

namespace {

void writefile(const std::string& path, std::string_view data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

std::string readfile(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

struct result {
    int score;
    std::string out, err;
    int cuts;
};

enum class path { straightforward, fast, primed };

result run(const std::string& dir, int debug, path how) {
    const std::string out = dir + "/out", err = dir + "/err";
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved1 = dup(1), saved2 = dup(2);
    const int fd1 = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int fd2 = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd1, 1);
    dup2(fd2, 2);
    // Every path under the plugin's budget. "primed" finds the literals of all rules in
    // one pass whatever the sizes.
    pst::evaloptions options;
    options.straightforward = how == path::straightforward;
    pst::searchlimits limits = pst::searchlimits::defaults();
    if (how == path::primed) limits.primedtext = limits.primedliterals = 0;
    options.limits = &limits;
    pst::evalprofile profile;
    options.profile = &profile;
    const std::string rules = dir + "/rules", message = dir + "/message";
    const int score = pst::evaluate(rules.c_str(), message.c_str(), debug, nullptr, options);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved1, 1);
    dup2(saved2, 2);
    close(fd1);
    close(fd2);
    close(saved1);
    close(saved2);
    return {score, readfile(out), readfile(err), profile.budgetcuts};
}

}  // namespace

// Input: one byte of flags, then the rule file, a 0xFF byte, and the message.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const std::string dir = [] {
        std::string d = "/tmp/pstfuzz." + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    const int debug = (data[0] & 1) ? 2 : 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = input.find('\xFF');
    writefile(dir + "/rules", input.substr(0, split));
    writefile(dir + "/message", split == std::string_view::npos ? "" : input.substr(split + 1));
    const result slow = run(dir, debug, path::straightforward);
    // A search that reaches the budget ends where its CPU time ran out: the
    // count so far is the machine's, not the input's.
    if (slow.cuts != 0) return 0;
    for (const path how : {path::fast, path::primed}) {
        const result fast = run(dir, debug, how);
        if (fast.score != slow.score || fast.out != slow.out || fast.err != slow.err ||
            fast.cuts != 0)
            std::abort();
    }
    return 0;
}
