#include "report.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "input.h"
#include "json.h"
#include "rules/rule.h"
#include "rules/rulefile.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

bool readfile(const inputfile& f, std::string& out) {
    if (!f) return false;
    std::ifstream in(f.path(), std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", f.name(), std::strerror(errno));
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string when(long long t) {
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
    std::string parent = path;
    const size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    if (::stat(path, &file) != 0 || !S_ISREG(file.st_mode) || ::stat(parent.c_str(), &dir) != 0)
        return;
    if (maywrite(file.st_uid, dir)) return;
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
        std::string text;
        if (!readfile(inputfile::named(path), text)) return false;
        if (!stdinput) warnunwritable(path);
        for (const std::string& line : lines(text)) {
            const size_t space = line.find(' ');
            if (space == std::string::npos) continue;
            const long long t = std::atoll(line.substr(0, space).c_str());
            auto [it, fresh] = latest.emplace(line.substr(space + 1), t);
            if (!fresh) it->second = std::max(it->second, t);
        }
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
    for (const auto& [line, rule] : rules.rules) {
        if (!inrules.emplace(rule.pattern).second) continue;
        if (auto it = latest.find(std::string(rule.pattern)); it != latest.end())
            r.hit.push_back({it->second, it->first, line});
        else
            r.never.push_back({0, std::string(rule.pattern), line});
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
    if (!readrulelines(inputfile::named(rulefile), rules.lines)) return EX_NOINPUT;
    std::map<std::string, long long> latest;
    if (!readlatest(statsfiles, latest)) return EX_NOINPUT;
    try {
        parserules(2, rules);
    } catch (const memoryexhausted&) {
        std::fputs("blocklistctl: out of memory\n", stderr);
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
