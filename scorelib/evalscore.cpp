#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "counter.h"
#include "holders.h"
#include "internal.h"
#include "reader.h"
#include "scorelib.h"
#include "stats.h"

namespace pst {
namespace {

// Opens without waiting for a writer, as a FIFO would make an ordinary open
// wait forever; reads then block as usual (a FIFO without a writer reads as
// empty).
int openforreading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

struct scantext {
    cbuf text;
    size_t len = 0;
    size_t bodylen = 0;
    size_t subjectlen = 0;  // one copy; the copies end the text
};

// Reads the header block and the body of a message of size bytes and builds
// the scan text: the body, then the cleaned Subject line three times.
scantext readmessage(int fd, uint64_t size) {
    cbuf body = allocbuf(size + 4);
    if (!body) outofmemory("pstlib:evalscore: Unable to allocate buf.\n");
    cbuf line = allocbuf(size + 4);
    if (!line) outofmemory("pstlib:evalscore: Unable to allocate line.\n");

    // Each read takes at most size - 1 bytes, so a line as long as the whole
    // file is split, and its last byte read as a line of its own.
    boundedreader reader(fd, size);
    char* subject = nullptr;
    size_t subjectlen = 0;
    while (!reader.eof()) {
        reader.readline(line.get(), size);
        size_t len = std::strlen(line.get());
        if (len == 1) break;  // the empty line that ends the header block
        if (!issubjectline(std::string_view(line.get(), len))) continue;
        len = removetags(line.get(), len);
        // Header and body are disjoint parts of at most size bytes read, so the
        // subject copy waits at the back of the body buffer and the body,
        // growing from the front, never reaches it. A later Subject line
        // replaces it.
        subject = body.get() + size + 4 - (len + 1);
        std::memcpy(subject, line.get(), len + 1);
        subjectlen = len;
    }
    size_t bodylen = 0;
    while (!reader.eof()) {
        reader.readline(line.get(), size);
        const size_t len = std::strlen(line.get());
        std::memcpy(body.get() + bodylen, line.get(), len);
        bodylen += len;
    }
    line.reset();

    scantext scan;
    scan.len = bodylen + 3 * subjectlen;
    scan.bodylen = bodylen;
    scan.subjectlen = subjectlen;
    scan.text = allocbuf(scan.len + 4);
    if (!scan.text) outofmemory("pstlib:evalscore: Unable to allocate nbuf.\n");
    char* out = scan.text.get();
    if (bodylen > 0) std::memcpy(out, body.get(), bodylen);
    out += bodylen;
    if (subject)
        for (int i = 0; i < 3; ++i, out += subjectlen) std::memcpy(out, subject, subjectlen);
    *out = '\0';
    return scan;
}

struct linefreer {
    char* line = nullptr;
    size_t cap = 0;
    ~linefreer() { std::free(line); }
};

int scorerules(FILE* rules, std::string_view scan, std::string_view folded, int debug, hitlog* hits,
               const evaloptions& options) {
    int score = 0;
    int line = 0;
    linefreer buf;
    workbudget budget(options.limits ? *options.limits : searchlimits::defaults());
    patterncounter infolded(folded, options.straightforward, options.profile, budget);
    // Only rules that hit need the unfolded text.
    std::optional<patterncounter> inscan;
    for (;;) {
        errno = 0;
        // Rule lines are read whole, however long.
        const ssize_t got = getline(&buf.line, &buf.cap, rules);
        if (got < 0) {
            if (errno == ENOMEM) outofmemory("pstlib:evalscore: Unable to allocate line.\n");
            break;  // end of file, or a read error taken as one
        }
        ++line;
        rule r;
        if (!parserule(buf.line, std::strlen(buf.line), r)) continue;
        if (debug == 0 && r.weight == 0) continue;
        const char* pattern = r.pattern.data();
        const int found = infolded.count(pattern, debug);
        if (found == 0) continue;
        const int before = score;
        int capitals = 0;
        score = addweighted(score, found, r.weight, 1);
        if (hits) hits->add(r.pattern, std::time(nullptr));
        if (!r.exact) {
            cbuf upper(ucstrdup(pattern));
            if (!inscan) inscan.emplace(scan, options.straightforward, options.profile, budget);
            capitals = inscan->count(upper.get(), debug);
            score = addweighted(score, capitals, r.weight, 2);
        }
        if (debug) std::printf("#Found %d ocurrence(s) of %s, score=%d\n", found, pattern, score);
        if (options.observer)
            options.observer->hit(line, pattern, r.weight, r.exact, found, capitals, before, score);
    }
    if (options.profile) options.profile->budgetcuts += budget.cuts();
    return score;
}

}  // namespace

int evaluate(const char* rulepath, const char* msgpath, int debug, const char* statspath,
             const evaloptions& options) {
    evalprofile* profile = options.profile;
    const bool recording = statspath && statsenabled(statspath);

    fdholder message(openforreading(msgpath));
    if (!message) {
        std::fputs("Unable to open file.\n", stderr);
        return 0;
    }
    struct stat st {};
    // Reads are bounded to size - 1 bytes: a file of fewer than two bytes has
    // nothing to give, and reading it that way would never reach its end.
    if (::stat(msgpath, &st) != 0 || st.st_size < 2) return 0;

    scantext scan;
    {
        stopwatch w(profile ? &profile->read : nullptr);
        scan = readmessage(message.get(), static_cast<uint64_t>(st.st_size));
    }
    message.reset();
    if (options.observer)
        options.observer->message(
            std::string_view(scan.text.get() + scan.len - scan.subjectlen, scan.subjectlen),
            scan.bodylen, scan.len);
    cbuf folded;
    {
        stopwatch w(profile ? &profile->fold : nullptr);
        folded.reset(lcstrndup(scan.text.get(), scan.len));
    }

    fdholder rulefd(openforreading(rulepath));
    // Only a regular file holds rules; a directory or a device is no rule file.
    if (rulefd && (::fstat(rulefd.get(), &st) != 0 || !S_ISREG(st.st_mode))) return 0;
    fileholder rules(rulefd ? ::fdopen(rulefd.get(), "r") : nullptr);
    if (rulefd && !rules) outofmemory("pstlib:evalscore: Unable to allocate line.\n");
    if (!rules) return 0;
    rulefd.release();
    hitlog hits;
    const int score = scorerules(rules.get(), std::string_view(scan.text.get(), scan.len),
                                 std::string_view(folded.get(), scan.len), debug,
                                 recording ? &hits : nullptr, options);
    rules.reset();
    if (recording && !hits.empty()) {
        stopwatch w(profile ? &profile->stats : nullptr);
        hits.apply(statspath);
    }
    std::fflush(stdout);
    return score;
}

}  // namespace pst

int evalscore(const char* rulepath, const char* msgpath, int debug, const char* statspath) {
    return pst::evaluate(rulepath, msgpath, debug, statspath, pst::evaloptions{});
}
