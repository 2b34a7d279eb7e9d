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

#include "internal.h"
#include "search.h"

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

result run(const std::string& dir, int debug, bool straightforward) {
    const std::string out = dir + "/out", err = dir + "/err";
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved1 = dup(1), saved2 = dup(2);
    const int fd1 = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int fd2 = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd1, 1);
    dup2(fd2, 2);
    // The fast path under the plugin's budget; the straightforward one, the
    // reference, under none: the fast path must give the reference's bytes
    // wherever its budget did not end a search.
    pst::evaloptions options;
    options.straightforward = straightforward;
    pst::searchlimits unlimited = pst::searchlimits::defaults();
    unlimited.search = unlimited.guaranteed = unlimited.message = UINT64_MAX;
    if (straightforward) options.limits = &unlimited;
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
    const result fast = run(dir, debug, false);
    const result slow = run(dir, debug, true);
    if (fast.cuts > 0) return 0;
    if (fast.score != slow.score || fast.out != slow.out || fast.err != slow.err) std::abort();
    return 0;
}
