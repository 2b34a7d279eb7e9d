#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "counting/counter.h"
#include "evaluate.h"
#include "holders.h"
#include "message/casefold.h"
#include "message/message.h"
#include "message/reader.h"
#include "scorelib.h"
#include "stats/stats.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {
namespace {

// The message read from fd, and the same folded, as the rules see them.
struct readmail {
    scantext scan;
    cbuf folded;
    mailtext text() const {
        return {std::string_view(scan.text.get(), scan.len),
                std::string_view(folded.get(), scan.len)};
    }
};

// Reads the message and tells the sink what was read; false where there is
// nothing to score.
bool readmailfrom(evalsink& sink, sysio& sys, int messagefd, evalprofile* profile, readmail& out) {
    struct stat st {};
    // A file whose size cannot be had cannot be read within it.
    if (sys.fstat(messagefd, &st) != 0) {
        sink.readfailed(evalsink::file::message);
        return false;
    }
    // Reads are bounded to size - 1 bytes: a file of fewer than two bytes has
    // nothing to give, and reading it that way would never reach its end.
    if (st.st_size < 2) return false;
    {
        stopwatch w(profile ? &profile->read : nullptr);
        out.scan = readmessage(sys, messagefd, static_cast<uint64_t>(st.st_size));
    }
    const scantext& scan = out.scan;
    // A read error ends the message read so far like the end of the file.
    if (scan.readfailed) sink.readfailed(evalsink::file::message);
    sink.message({std::string_view(scan.text.get() + scan.len - scan.subjectlen, scan.subjectlen),
                  std::string_view(scan.text.get(), scan.bodylen), scan.len, scan.headerended,
                  scan.encoded});
    stopwatch w(profile ? &profile->fold : nullptr);
    out.folded.reset(lcstrndup(scan.text.get(), scan.len));
    return true;
}

// Whether the rules that hit are to be recorded: asked before the message is
// read.
bool recordingto(sysio& sys, const char* statspath) {
    return statspath && statsenabled(sys, statspath);
}

// Scores the message read, and records the rules that hit at statspath
// unless it is null.
int scoreandrecord(evalsink& sink, sysio& sys, const ruleset& rules, const readmail& mail,
                   int debug, const char* statspath, const evaloptions& options) {
    const bool recording = statspath != nullptr;
    hitlog hits;
    scoring how;
    how.debug = debug;
    how.straightforward = options.straightforward;
    how.limits = options.limits;
    how.profile = options.profile;
    how.work = options.work;
    how.hits = recording ? &hits : nullptr;
    const int total = score(rules, mail.text(), sink, how);
    if (recording && !hits.empty()) {
        stopwatch w(options.profile ? &options.profile->stats : nullptr);
        hits.apply(sys, statspath);
    }
    return total;
}

// The evaluation proper, on files already open; memory running out anywhere
// in it unwinds to its entry.
int evaluatewith(evalsink& sink, sysio& sys, int messagefd, int rulefd, int debug,
                 const char* statspath, const evaloptions& options) {
    if (!recordingto(sys, statspath)) statspath = nullptr;
    readmail mail;
    if (!readmailfrom(sink, sys, messagefd, options.profile, mail)) return 0;
    // Only a regular file holds rules: a directory reads as no rules, so
    // every message would pass, and a device may never end.
    if (rulefd < 0) return 0;
    struct stat st {};
    if (sys.fstat(rulefd, &st) != 0) {
        sink.readfailed(evalsink::file::rules);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) return 0;
    ruleset::options load;
    if (!options.straightforward) load.formpath = options.compiledrules;
    const ruleset rules(sys, rulefd, load);
    return scoreandrecord(sink, sys, rules, mail, debug, statspath, options);
}

// An entry: the caller's sink and system calls or the plugin's, and memory
// running out anywhere in the evaluation unwound to here.
template <typename evaluation>
int entered(int debug, const evaloptions& options, evaluation&& e) {
    streamsink streams(debug);
    evalsink& sink = options.sink ? *options.sink : streams;
    sysio realsystem;
    sysio& sys = options.system ? *options.system : realsystem;
    try {
        return e(sink, sys);
    } catch (const memoryexhausted& x) {
        sink.exhausted(x.text);
        return 0;
    }
}

}  // namespace

int openforreading(const char* path) {
    sysio sys;
    return openforreading(sys, path);
}

int evaluate(const openfiles& files, int debug, const char* statspath, const evaloptions& options) {
    return entered(debug, options, [&](evalsink& sink, sysio& sys) {
        return evaluatewith(sink, sys, files.message, files.rules, debug, statspath, options);
    });
}

int evaluate(const ruleset& rules, int messagefd, int debug, const char* statspath,
             const evaloptions& options) {
    return entered(debug, options, [&](evalsink& sink, sysio& sys) {
        if (!recordingto(sys, statspath)) statspath = nullptr;
        readmail mail;
        if (!readmailfrom(sink, sys, messagefd, options.profile, mail)) return 0;
        return scoreandrecord(sink, sys, rules, mail, debug, statspath, options);
    });
}

int evaluate(const char* rulepath, const char* msgpath, int debug, const char* statspath,
             const evaloptions& options) {
    return entered(debug, options, [&](evalsink& sink, sysio& sys) {
        const fdholder message(openforreading(sys, msgpath));
        if (!message) {
            sink.cannotopen(evalsink::file::message);
            return 0;
        }
        const fdholder rules(openforreading(sys, rulepath));
        return evaluatewith(sink, sys, message.get(), rules.get(), debug, statspath, options);
    });
}

}  // namespace pst

int evalscore(const char* rulepath, const char* msgpath, int debug, const char* statspath) {
    const int score = pst::evaluate(rulepath, msgpath, debug, statspath, pst::evaloptions{});
    std::fflush(stdout);  // the comment lines before whatever the caller writes next
    return score;
}
