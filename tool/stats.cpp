#include "stats.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "evaluate.h"
#include "holders.h"
#include "input.h"
#include "json.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "stats/statslines.h"
#include "system/outofmemory.h"
#include "system/pathname.h"
#include "system/sysio.h"

namespace pst {
namespace {

std::string when(long long t) {
    // A time field that is no number: the plugin takes it for the earliest
    // time, and so does the report, which says so.
    if (t == std::numeric_limits<time_t>::min()) return "unreadable time";
    const time_t tt = static_cast<time_t>(t);
    tm utc{};
    char buf[64];
    if (!gmtime_r(&tt, &utc) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &utc))
        return std::to_string(t);
    return buf;
}

// Whether uid, with its groups, may create files in the directory st
// describes: the rewrite renames its new file into it.
bool maywrite(uid_t uid, const struct stat& dir) {
    if (uid == 0) return true;
    if (dir.st_uid == uid) return dir.st_mode & S_IWUSR;
    if (dir.st_mode & S_IWOTH) return true;
    if (!(dir.st_mode & S_IWGRP)) return false;
    const passwd* pw = ::getpwuid(uid);
    if (!pw) return false;
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) return false;
    }
    groups.resize(static_cast<size_t>(n));
    return std::find(groups.begin(), groups.end(), dir.st_gid) != groups.end();
}

// A statistics file the plugin could not record into, said on standard error.
void warnunwritable(const char* path) {
    struct stat file {
    }, dir{};
    const std::string parent = parentdirectory(path);
    if (::stat(path, &file) != 0 || !S_ISREG(file.st_mode) || ::stat(parent.c_str(), &dir) != 0)
        return;
    if (maywrite(file.st_uid, dir)) {
        // "touch STATS" as root in a directory only root may write: the
        // plugin, which runs as the mail user, can neither replace the file
        // nor create the new one beside it.
        if (file.st_uid == 0 && dir.st_uid == 0 && (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0)
            std::fprintf(stderr,
                         "blocklistctl: warning: %s and %s belong to root: the plugin, unless it "
                         "runs as root, cannot record hits there (install -m 0640 -o MAILUSER "
                         "/dev/null %s, and let MAILUSER write %s)\n",
                         path, parent.c_str(), path, parent.c_str());
        return;
    }
    const passwd* pw = ::getpwuid(file.st_uid);
    const std::string owner = pw ? pw->pw_name : std::to_string(file.st_uid);
    std::fprintf(stderr,
                 "blocklistctl: warning: %s is not writable by %s, the owner of %s: the plugin "
                 "cannot record hits there\n",
                 parent.c_str(), owner.c_str(), path);
}

struct dated {
    long long time;
    std::string pattern;
    int line;  // in the rule file; 0 for patterns no longer in it
};

nlohmann::json asjson(const std::vector<dated>& list) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& d : list) {
        nlohmann::json j = {
            {"pattern", d.pattern}, {"latest", d.time}, {"latest_utc", when(d.time)}};
        if (d.line) j["line"] = d.line;
        out.push_back(std::move(j));
    }
    return out;
}

void printlist(const char* title, const std::vector<dated>& list, FILE* out) {
    std::fprintf(out, "%s (%zu):\n", title, list.size());
    for (const auto& d : list)
        std::fprintf(out, "  %s  %s\n", when(d.time).c_str(), d.pattern.c_str());
}

// The records of one statistics file into latest, in bounded memory: the file
// is opened without waiting (a FIFO), must be a regular file (a device never
// ends) and is read a block at a time; a line too long to be a record is
// passed over.
bool readrecords(const inputfile& f, std::map<std::string, long long>& latest) {
    if (!f) return false;
    const fdholder fd = openregular(f.path(), f.name());
    if (!fd) return false;
    auto record = [&](linecutter::piece p, std::string_view line) {
        if (p != linecutter::piece::whole) return;
        const auto r = parsestatsline(line);
        if (!r) return;
        const long long t = recordtime(r->time);
        auto [it, fresh] = latest.emplace(r->pattern, t);
        if (!fresh) it->second = std::max(it->second, t);
    };
    sysio sys;
    linecutter cutter;
    std::string block(size_t{1} << 16, '\0');
    for (;;) {
        const ssize_t got = sys.read(fd.get(), block.data(), block.size());
        if (got < 0) return cannotread(f.name(), std::strerror(errno));
        if (got == 0) break;
        cutter.feed(std::string_view(block.data(), static_cast<size_t>(got)), record);
    }
    cutter.finish(record);
    return true;
}

// Pattern to latest recorded hit over all the files; lines without a space
// are not records. False, having said why, when a file is missing or cannot
// be read.
bool readlatest(const std::vector<const char*>& statsfiles,
                std::map<std::string, long long>& latest) {
    for (const char* path : statsfiles) {
        const bool stdinput = std::strcmp(path, "-") == 0;
        if (!stdinput && ::access(path, F_OK) != 0 && errno == ENOENT) {
            std::fprintf(stderr,
                         "blocklistctl: %s does not exist: recording is off (the plugin records "
                         "only into an existing file)\n",
                         path);
            return false;
        }
        if (!readrecords(inputfile::named(path), latest)) return false;
        if (!stdinput) warnunwritable(path);
    }
    return true;
}

struct statsreport {
    std::vector<dated> hit, never, stale, orphaned;
};

// The rules in order, each pattern once, against the records.
statsreport classify(const rulefile& rules, const std::map<std::string, long long>& latest,
                     long staledays) {
    statsreport r;
    std::unordered_set<std::string_view> inrules;
    for (const ruleline& rule : rules.rules) {
        if (!inrules.emplace(rule.pattern).second) continue;
        if (auto it = latest.find(std::string(rule.pattern)); it != latest.end())
            r.hit.push_back({it->second, it->first, rule.line});
        else
            r.never.push_back({0, std::string(rule.pattern), rule.line});
    }
    for (const auto& [p, t] : latest)
        if (!inrules.count(p)) r.orphaned.push_back({t, p, 0});
    auto newestfirst = [](const dated& a, const dated& b) { return a.time > b.time; };
    std::stable_sort(r.hit.begin(), r.hit.end(), newestfirst);
    std::stable_sort(r.orphaned.begin(), r.orphaned.end(), newestfirst);
    if (staledays >= 0) {
        const long long cutoff = static_cast<long long>(std::time(nullptr)) - staledays * 86400LL;
        for (const auto& h : r.hit)
            if (h.time < cutoff) r.stale.push_back(h);
    }
    return r;
}

void printtext(const statsreport& r, long staledays, FILE* out) {
    printlist("rules with a recorded hit, newest first", r.hit, out);
    std::fprintf(out, "rules never recorded (%zu):\n", r.never.size());
    for (const auto& n : r.never) std::fprintf(out, "  %s\n", n.pattern.c_str());
    if (staledays >= 0)
        printlist(("rules not hit for " + std::to_string(staledays) + " days").c_str(), r.stale,
                  out);
    printlist("recorded patterns no longer in the rule file", r.orphaned, out);
}

void printjsonreport(const statsreport& r, const std::vector<const char*>& statsfiles,
                     long staledays, FILE* out) {
    nlohmann::json nevers = nlohmann::json::array();
    for (const auto& n : r.never) nevers.push_back({{"pattern", n.pattern}, {"line", n.line}});
    nlohmann::json doc = {{"statistics", statsfiles},
                          {"recorded", asjson(r.hit)},
                          {"never", std::move(nevers)},
                          {"orphaned", asjson(r.orphaned)}};
    if (staledays >= 0) doc["stale"] = {{"days", staledays}, {"rules", asjson(r.stale)}};
    printjson(doc, out);
}

}  // namespace

int reportstats(const char* rulefile, const std::vector<const char*>& statsfiles, long staledays,
                bool json, FILE* out) {
    // Every rule as the plugin reads it in debug mode, weight 0 included.
    pst::rulefile rules;
    if (!readrulefile(inputfile::named(rulefile), rules)) return EX_NOINPUT;
    std::map<std::string, long long> latest;
    if (!readlatest(statsfiles, latest)) return EX_NOINPUT;
    try {
        parserules(weights::all, rules);
    } catch (const memoryexhausted&) {
        std::fputs(toolnomemory, stderr);
        return EX_SOFTWARE;
    }
    const statsreport r = classify(rules, latest, staledays);
    if (json)
        printjsonreport(r, statsfiles, staledays, out);
    else
        printtext(r, staledays, out);
    return 0;
}

}  // namespace pst
