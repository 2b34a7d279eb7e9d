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
#include "message/casefold.h"
#include "message/message.h"
#include "message/reader.h"
#include "rules/compiledrules.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "scorelib.h"
#include "stats/stats.h"
#include "system/holders.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {
namespace {

std::vector<std::string_view> patternsof(const rulefile& f) {
    std::vector<std::string_view> patterns;
    try {
        patterns.reserve(f.rules.size());
        for (const numberedrule& n : f.rules) patterns.push_back(n.r.pattern);
    } catch (const std::bad_alloc&) {
        patterns.clear();  // nothing primed: each rule searches for itself
    }
    return patterns;
}

// The capitals of the literals: what the upper-case pass looks for.
std::vector<std::string> capitalsof(const std::vector<std::string>& literals) {
    std::vector<std::string> upper;
    try {
        upper.reserve(literals.size());
        for (const std::string& l : literals) {
            std::string u(l);
            for (char& c : u)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            upper.push_back(std::move(u));
        }
    } catch (const std::bad_alloc&) {
        upper.clear();
    }
    return upper;
}

// The compiled form, if there is one that fits the lines just read. Memory
// running out while it is read only means that the rules are worked out as
// without one.
std::optional<compiledrules> loadform(sysio& sys, const rulefile& rules,
                                      const evaloptions& options) {
    if (!options.compiledrules || options.straightforward) return std::nullopt;
    try {
        std::optional<compiledrules> form(std::in_place);
        std::string why;
        if (form->load(sys, options.compiledrules, rules, why)) return form;
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

int scorerules(sysio& sys, boundedreader& in, std::string_view scan, std::string_view folded,
               int debug, hitlog* hits, evalsink& sink, const evaloptions& options) {
    rulefile rules;
    readrulelines(in, rules);
    const std::optional<compiledrules> form = loadform(sys, rules, options);
    parserules(debug, rules);
    int score = 0;
    workbudget budget(options.limits ? *options.limits : searchlimits::defaults());
    patterncounter infolded(folded, options.straightforward, options.profile, budget, sink,
                            options.compiled);
    {
        stopwatch w(options.profile ? &options.profile->search : nullptr);
        infolded.prime(patternsof(rules));
    }
    // Only rules that hit need the unfolded text.
    std::optional<patterncounter> inunfolded;
    auto scorerule = [&](int line, const rule& r) {
        const char* pattern = r.pattern.data();
        if (ruleplan plan; form && form->planfor(line, plan)) {
            if (plan.skippable && infolded.certainlyzero(planfacts(*form, plan))) {
                if (options.profile) ++options.profile->leftout;
                return;
            }
        }
        const int found = infolded.count(pattern);
        if (found == 0) return;
        const int before = score;
        int capitals = 0;
        score = addweighted(score, found, r.weight, 1);
        if (hits) hits->add(r.pattern, std::time(nullptr));
        if (!r.exact) {
            cbuf upper(ucstrndup(pattern, std::strlen(pattern)));
            if (!inunfolded) {
                inunfolded.emplace(scan, options.straightforward, options.profile, budget, sink,
                                   options.compiled);
                stopwatch w(options.profile ? &options.profile->search : nullptr);
                inunfolded->primeliterals(capitalsof(infolded.primedliterals()));
            }
            capitals = inunfolded->count(upper.get());
            score = addweighted(score, capitals, r.weight, 2);
        }
        sink.hit({line, pattern, r.weight, r.exact, found, capitals, before, score});
    };
    if (options.work) {
        try {
            options.work->reserve(options.work->size() + rules.rules.size());
        } catch (const std::bad_alloc&) {
            outofmemory(nomemory);
        }
    }
    for (const auto& [line, r] : rules.rules) {
        if (!options.work) {
            scorerule(line, r);
            continue;
        }
        using clock = std::chrono::steady_clock;
        const clock::time_point began = clock::now();
        const int cuts = budget.cuts();
        scorerule(line, r);
        const auto took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - began);
        options.work->push_back({line, static_cast<uint64_t>(took.count()), budget.cuts() != cuts});
    }
    // A read error ends the rules read so far like the end of the file.
    if (in.failed()) sink.readfailed(evalsink::file::rules);
    if (options.profile) options.profile->budgetcuts += budget.cuts();
    return score;
}

// The evaluation proper, on files already open; memory running out anywhere
// in it unwinds to its entry.
int evaluatewith(evalsink& sink, sysio& sys, int messagefd, int rulefd, int debug,
                 const char* statspath, const evaloptions& options) {
    evalprofile* profile = options.profile;
    const bool recording = statspath && statsenabled(sys, statspath);
    struct stat st {};
    // A file whose size cannot be had cannot be read within it.
    if (sys.fstat(messagefd, &st) != 0) {
        sink.readfailed(evalsink::file::message);
        return 0;
    }
    // Reads are bounded to size - 1 bytes: a file of fewer than two bytes has
    // nothing to give, and reading it that way would never reach its end.
    if (st.st_size < 2) return 0;

    scantext scan;
    {
        stopwatch w(profile ? &profile->read : nullptr);
        scan = readmessage(sys, messagefd, static_cast<uint64_t>(st.st_size));
    }
    // A read error ends the message read so far like the end of the file.
    if (scan.readfailed) sink.readfailed(evalsink::file::message);
    sink.message({std::string_view(scan.text.get() + scan.len - scan.subjectlen, scan.subjectlen),
                  std::string_view(scan.text.get(), scan.bodylen), scan.len, scan.headerended,
                  scan.encoded});
    cbuf folded;
    {
        stopwatch w(profile ? &profile->fold : nullptr);
        folded.reset(lcstrndup(scan.text.get(), scan.len));
    }

    // Only a regular file holds rules: a directory reads as no rules, so
    // every message would pass, and a device may never end.
    if (rulefd < 0) return 0;
    if (sys.fstat(rulefd, &st) != 0) {
        sink.readfailed(evalsink::file::rules);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) return 0;
    boundedreader rules(sys, rulefd);
    hitlog hits;
    const int score = scorerules(sys, rules, std::string_view(scan.text.get(), scan.len),
                                 std::string_view(folded.get(), scan.len), debug,
                                 recording ? &hits : nullptr, sink, options);
    if (recording && !hits.empty()) {
        stopwatch w(profile ? &profile->stats : nullptr);
        hits.apply(sys, statspath);
    }
    return score;
}

int guarded(evalsink& sink, sysio& sys, int messagefd, int rulefd, int debug, const char* statspath,
            const evaloptions& options) {
    try {
        return evaluatewith(sink, sys, messagefd, rulefd, debug, statspath, options);
    } catch (const memoryexhausted& e) {
        sink.exhausted(e.text);
        return 0;
    }
}

}  // namespace

int openforreading(const char* path) {
    sysio sys;
    return openforreading(sys, path);
}

int evaluate(const openfiles& files, int debug, const char* statspath, const evaloptions& options) {
    streamsink streams(debug);
    evalsink& sink = options.sink ? *options.sink : streams;
    sysio realsystem;
    sysio& sys = options.system ? *options.system : realsystem;
    return guarded(sink, sys, files.message, files.rules, debug, statspath, options);
}

int evaluate(const char* rulepath, const char* msgpath, int debug, const char* statspath,
             const evaloptions& options) {
    streamsink streams(debug);
    evalsink& sink = options.sink ? *options.sink : streams;
    sysio realsystem;
    sysio& sys = options.system ? *options.system : realsystem;
    const fdholder message(openforreading(sys, msgpath));
    if (!message) {
        sink.cannotopen(evalsink::file::message);
        return 0;
    }
    const fdholder rules(openforreading(sys, rulepath));
    return guarded(sink, sys, message.get(), rules.get(), debug, statspath, options);
}

}  // namespace pst

int evalscore(const char* rulepath, const char* msgpath, int debug, const char* statspath) {
    const int score = pst::evaluate(rulepath, msgpath, debug, statspath, pst::evaloptions{});
    std::fflush(stdout);  // the comment lines before whatever the caller writes next
    return score;
}
