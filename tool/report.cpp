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

}  // namespace

int reportstats(const char* rulefile, const std::vector<const char*>& statsfiles, long staledays,
                bool json, FILE* out) {
    std::string rulestext;
    if (!readfile(inputfile::named(rulefile), rulestext)) return EX_NOINPUT;
    // Pattern to latest recorded hit over all the files; lines without a
    // space are not records.
    std::map<std::string, long long> latest;
    for (const char* path : statsfiles) {
        std::string statstext;
        if (std::strcmp(path, "-") != 0 && ::access(path, F_OK) != 0 && errno == ENOENT) {
            std::fprintf(stderr,
                         "blocklistctl: %s does not exist: recording is off (the plugin records "
                         "only into an existing file)\n",
                         path);
            return EX_NOINPUT;
        }
        if (!readfile(inputfile::named(path), statstext)) return EX_NOINPUT;
        if (std::strcmp(path, "-") != 0) warnunwritable(path);
        for (const std::string& line : lines(statstext)) {
            const size_t space = line.find(' ');
            if (space == std::string::npos) continue;
            const long long t = std::atoll(line.substr(0, space).c_str());
            auto [it, fresh] = latest.emplace(line.substr(space + 1), t);
            if (!fresh) it->second = std::max(it->second, t);
        }
    }

    // The rules, as the plugin reads them, in order; each pattern once.
    std::vector<dated> hit, never;
    std::unordered_set<std::string> inrules;
    int lineno = 0;
    for (std::string line : lines(rulestext)) {
        ++lineno;
        line += '\n';
        rule r;
        if (!parserule(line.data(), std::strlen(line.c_str()), r)) continue;
        if (!inrules.emplace(r.pattern).second) continue;
        if (auto it = latest.find(std::string(r.pattern)); it != latest.end())
            hit.push_back({it->second, it->first, lineno});
        else
            never.push_back({0, std::string(r.pattern), lineno});
    }
    std::vector<dated> orphaned, stale;
    for (const auto& [p, t] : latest)
        if (!inrules.count(p)) orphaned.push_back({t, p, 0});
    auto newestfirst = [](const dated& a, const dated& b) { return a.time > b.time; };
    std::stable_sort(hit.begin(), hit.end(), newestfirst);
    std::stable_sort(orphaned.begin(), orphaned.end(), newestfirst);
    if (staledays >= 0) {
        const long long cutoff = static_cast<long long>(std::time(nullptr)) - staledays * 86400LL;
        for (const auto& h : hit)
            if (h.time < cutoff) stale.push_back(h);
    }

    if (json) {
        nlohmann::json nevers = nlohmann::json::array();
        for (const auto& n : never) nevers.push_back({{"pattern", n.pattern}, {"line", n.line}});
        nlohmann::json doc = {{"statistics", statsfiles},
                              {"recorded", asjson(hit)},
                              {"never", std::move(nevers)},
                              {"orphaned", asjson(orphaned)}};
        if (staledays >= 0) doc["stale"] = {{"days", staledays}, {"rules", asjson(stale)}};
        printjson(doc, out);
        return 0;
    }
    printlist("rules with a recorded hit, newest first", hit, out);
    std::fprintf(out, "rules never recorded (%zu):\n", never.size());
    for (const auto& n : never) std::fprintf(out, "  %s\n", n.pattern.c_str());
    if (staledays >= 0)
        printlist(("rules not hit for " + std::to_string(staledays) + " days").c_str(), stale, out);
    printlist("recorded patterns no longer in the rule file", orphaned, out);
    return 0;
}

}  // namespace pst
