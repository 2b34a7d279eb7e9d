#include "report.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "internal.h"

namespace pst {
namespace {

bool readfile(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", path, std::strerror(errno));
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

}  // namespace

int reportstats(const char* rulefile, const char* statsfile, long staledays, FILE* out) {
    std::string rulestext, statstext;
    if (!readfile(rulefile, rulestext) || !readfile(statsfile, statstext)) return EX_NOINPUT;

    // The patterns of the rule file, as the plugin reads them, in order.
    std::vector<std::string> patterns;
    for (std::string line : lines(rulestext)) {
        line += '\n';
        rule r;
        if (parserule(line.data(), std::strlen(line.c_str()), r) &&
            std::find(patterns.begin(), patterns.end(), r.pattern) == patterns.end())
            patterns.emplace_back(r.pattern);
    }
    // Pattern to latest recorded hit; lines without a space are not records.
    std::map<std::string, long long> latest;
    for (const std::string& line : lines(statstext)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const long long t = std::atoll(line.substr(0, space).c_str());
        auto [it, fresh] = latest.emplace(line.substr(space + 1), t);
        if (!fresh) it->second = std::max(it->second, t);
    }

    std::vector<std::pair<long long, std::string>> hit, orphaned;
    std::vector<std::string> never;
    for (const auto& p : patterns) {
        if (auto it = latest.find(p); it != latest.end())
            hit.emplace_back(it->second, p);
        else
            never.push_back(p);
    }
    for (const auto& [p, t] : latest)
        if (std::find(patterns.begin(), patterns.end(), p) == patterns.end())
            orphaned.emplace_back(t, p);
    auto newestfirst = [](const auto& a, const auto& b) { return a.first > b.first; };
    std::stable_sort(hit.begin(), hit.end(), newestfirst);
    std::stable_sort(orphaned.begin(), orphaned.end(), newestfirst);

    std::fprintf(out, "rules with a recorded hit, newest first (%zu):\n", hit.size());
    for (const auto& [t, p] : hit) std::fprintf(out, "  %s  %s\n", when(t).c_str(), p.c_str());
    std::fprintf(out, "rules never recorded (%zu):\n", never.size());
    for (const auto& p : never) std::fprintf(out, "  %s\n", p.c_str());
    if (staledays >= 0) {
        const long long cutoff = static_cast<long long>(std::time(nullptr)) - staledays * 86400LL;
        std::vector<std::pair<long long, std::string>> stale;
        for (const auto& h : hit)
            if (h.first < cutoff) stale.push_back(h);
        std::fprintf(out, "rules not hit for %ld days (%zu):\n", staledays, stale.size());
        for (const auto& [t, p] : stale)
            std::fprintf(out, "  %s  %s\n", when(t).c_str(), p.c_str());
    }
    std::fprintf(out, "recorded patterns no longer in the rule file (%zu):\n", orphaned.size());
    for (const auto& [t, p] : orphaned) std::fprintf(out, "  %s  %s\n", when(t).c_str(), p.c_str());
    return 0;
}

}  // namespace pst
