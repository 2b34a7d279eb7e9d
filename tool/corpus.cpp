#include "corpus.h"

#include <sysexits.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "corpusscore.h"
#include "input.h"
#include "json.h"
#include "mailsource.h"
#include "messagenotes.h"
#include "plot.h"
#include "rules/rulefile.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

const char* const setnames[] = {"unlabelled", "ham", "spam"};

struct rulestats {
    int line = 0;
    std::string pattern;
    int weight = 0;
    int hits[3] = {0, 0, 0};  // messages hit, per set
    long long contribution = 0;
};

// The bars of a histogram: a width of 1, 2 or 5 times a power of ten that
// gives at most 20 buckets, buckets starting at a multiple of it.
struct histogram {
    long long width = 1, first = 0;
    std::vector<std::array<int, 3>> counts;
};

long long bucketwidth(long long span) {
    for (long long step = 1;; step *= 10)
        for (const long long m : {1LL, 2LL, 5LL})
            if (span / (step * m) < 20) return step * m;
}

histogram histogramof(const std::vector<scoredmessage>& results,
                      const std::vector<savedmessage>& messages) {
    histogram h;
    long long lo = 0, hi = 0;
    bool any = false;
    for (const auto& r : results) {
        if (!r.scored) continue;
        lo = any ? std::min<long long>(lo, r.score) : r.score;
        hi = any ? std::max<long long>(hi, r.score) : r.score;
        any = true;
    }
    if (!any) return h;
    h.width = bucketwidth(hi - lo);
    auto floordiv = [](long long a, long long b) { return a / b - (a % b != 0 && a < 0); };
    h.first = floordiv(lo, h.width) * h.width;
    h.counts.assign(static_cast<size_t>((floordiv(hi, h.width) * h.width - h.first) / h.width + 1),
                    {0, 0, 0});
    for (size_t i = 0; i < results.size(); ++i)
        if (results[i].scored)
            ++h.counts[static_cast<size_t>((results[i].score - h.first) / h.width)]
                      [static_cast<size_t>(messages[i].set)];
    return h;
}

double share(int part, int whole) {
    return whole ? static_cast<double>(part) / whole : 0;
}

// The spam share of a rule's hits, the sets' sizes taken out: its share of
// spam over the sum of its shares of spam and of ham; -1 when it hits
// neither.
double spamratio(const rulestats& r, const int sizes[3]) {
    const double s = share(r.hits[spam], sizes[spam]), h = share(r.hits[ham], sizes[ham]);
    return s + h > 0 ? s / (s + h) : -1;
}

struct corpusrun {
    std::vector<savedmessage> messages;
    scoringrun scores;
    std::vector<rulestats> rules;
    int sizes[3] = {0, 0, 0};  // scored messages per set
    int notscored = 0;
    // Scored messages whose header no empty line ends, and whose body the
    // rules saw encoded.
    int noheaderend = 0, encoded = 0;
};

bool readruleset(const char* path, std::vector<rulestats>& out) {
    rulefile f;
    if (!readrulelines(inputfile::named(path), f.lines)) return false;
    try {
        parserules(0, f);  // as the plugin without the debug marker
    } catch (const memoryexhausted&) {
        std::fprintf(stderr, "blocklistctl: out of memory\n");
        return false;
    }
    for (const auto& [line, r] : f.rules)
        out.push_back({line, std::string(r.pattern), r.weight, {0, 0, 0}, 0});
    return true;
}

void tally(corpusrun& run) {
    std::map<int, size_t> byline;
    for (size_t i = 0; i < run.rules.size(); ++i) byline[run.rules[i].line] = i;
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage& r = run.scores.results[i];
        if (!r.scored) {
            ++run.notscored;
            continue;
        }
        const int set = run.messages[i].set;
        ++run.sizes[set];
        run.noheaderend += !r.headerended;
        run.encoded += r.encoded;
        for (const messagehit& h : r.hits) {
            rulestats& s = run.rules[byline.at(h.line)];
            ++s.hits[set];
            s.contribution += h.added;
        }
    }
}

std::string percent(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", 100 * x);
    return buf;
}

std::string ratio(double x) {
    if (x < 0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", x);
    return buf;
}

std::string bar(int n, int most) {
    const int width = most ? (n * 30 + most - 1) / most : 0;
    return std::string(static_cast<size_t>(width), '#');
}

void printtext(const corpusrequest& q, const corpusrun& run, const histogram& h, FILE* out) {
    std::fprintf(out, "rules: %s (%zu rules)\n", q.rules, run.rules.size());
    std::fprintf(out, "messages: %d ham, %d spam, %d unlabelled; %d not scored\n", run.sizes[ham],
                 run.sizes[spam], run.sizes[unlabelled], run.notscored);
    for (size_t i = 0; i < run.messages.size(); ++i)
        if (!run.scores.results[i].scored)
            std::fprintf(out, "  not scored: %s: %s\n", run.messages[i].name.c_str(),
                         run.scores.results[i].error.c_str());
    // What the rules could not see, message by message.
    const auto noted = [&](int count, const char* note, bool scoredmessage::*which, bool when) {
        if (count == 0) return;
        std::fprintf(out, "%d messages: %s\n", count, note);
        for (size_t i = 0; i < run.messages.size(); ++i) {
            const scoredmessage& r = run.scores.results[i];
            if (r.scored && r.*which == when)
                std::fprintf(out, "  %s\n", run.messages[i].name.c_str());
        }
    };
    noted(run.noheaderend, noheaderend, &scoredmessage::headerended, false);
    noted(run.encoded, encodedbody, &scoredmessage::encoded, true);

    std::fputs(
        "\nper rule: the share of ham and of spam it hits, its spam share of hits (S/O),\n"
        "and what it added to the scores\n",
        out);
    std::fprintf(out, "  %5s %7s %7s %5s %12s  %s\n", "line", "ham", "spam", "S/O", "contribution",
                 "pattern");
    std::vector<const rulestats*> unhit;
    for (const auto& r : run.rules) {
        if (r.hits[ham] + r.hits[spam] + r.hits[unlabelled] == 0) {
            unhit.push_back(&r);
            continue;
        }
        std::fprintf(out, "  %5d %7s %7s %5s %12lld  %s\n", r.line,
                     percent(share(r.hits[ham], run.sizes[ham])).c_str(),
                     percent(share(r.hits[spam], run.sizes[spam])).c_str(),
                     ratio(spamratio(r, run.sizes)).c_str(), r.contribution, r.pattern.c_str());
    }
    std::fprintf(out, "rules that hit nothing (%zu):\n", unhit.size());
    for (const rulestats* r : unhit)
        std::fprintf(out, "  line %d: %s\n", r->line, r->pattern.c_str());

    int most = 0;
    for (const auto& c : h.counts) most = std::max({most, c[ham], c[spam], c[unlabelled]});
    std::fprintf(out, "\nscore distribution (buckets of %lld):\n", h.width);
    for (size_t i = 0; i < h.counts.size(); ++i) {
        const long long from = h.first + static_cast<long long>(i) * h.width;
        char line[256];
        std::snprintf(line, sizeof line, "  %6lld..%-6lld ham %5d %-30s spam %5d %-30s", from,
                      from + h.width - 1, h.counts[i][ham], bar(h.counts[i][ham], most).c_str(),
                      h.counts[i][spam], bar(h.counts[i][spam], most).c_str());
        std::string text = line;
        if (run.sizes[unlabelled]) text += " unlabelled " + std::to_string(h.counts[i][unlabelled]);
        text.erase(text.find_last_not_of(' ') + 1);
        std::fprintf(out, "%s\n", text.c_str());
    }
}

// Ham at or above the threshold, spam below it.
void misses(const corpusrun& run, int threshold, std::vector<size_t>& fp, std::vector<size_t>& fn) {
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage& r = run.scores.results[i];
        if (!r.scored) continue;
        if (run.messages[i].set == ham && r.score >= threshold) fp.push_back(i);
        if (run.messages[i].set == spam && r.score < threshold) fn.push_back(i);
    }
}

void printthreshold(const corpusrequest& q, const corpusrun& run, FILE* out) {
    std::vector<size_t> fp, fn;
    misses(run, q.threshold, fp, fn);
    std::fprintf(out, "\nat threshold %d:\n", q.threshold);
    std::fprintf(out, "  ham at or above it (false positives): %zu of %d\n", fp.size(),
                 run.sizes[ham]);
    for (const size_t i : fp)
        std::fprintf(out, "    %s  %d\n", run.messages[i].name.c_str(),
                     run.scores.results[i].score);
    std::fprintf(out, "  spam below it (false negatives): %zu of %d\n", fn.size(), run.sizes[spam]);
    for (const size_t i : fn)
        std::fprintf(out, "    %s  %d\n", run.messages[i].name.c_str(),
                     run.scores.results[i].score);
}

struct change {
    size_t message;
    int before, after;
};

std::vector<change> changes(const corpusrun& run, const scoringrun& other) {
    std::vector<change> out;
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage &a = run.scores.results[i], &b = other.results[i];
        if (a.scored && b.scored && a.score != b.score) out.push_back({i, a.score, b.score});
    }
    return out;
}

std::string verdictchange(const corpusrequest& q, const change& c) {
    if (!q.hasthreshold) return "";
    const bool was = c.before >= q.threshold, is = c.after >= q.threshold;
    if (was == is) return "";
    return is ? "  now at or above " + std::to_string(q.threshold)
              : "  now below " + std::to_string(q.threshold);
}

void printcompare(const corpusrequest& q, const corpusrun& run, const std::vector<change>& list,
                  FILE* out) {
    std::fprintf(out, "\nwith %s: %zu of %zu messages change\n", q.compare, list.size(),
                 run.messages.size());
    for (const change& c : list)
        std::fprintf(out, "  %s (%s)  %d -> %d (%+lld)%s\n", run.messages[c.message].name.c_str(),
                     setnames[run.messages[c.message].set], c.before, c.after,
                     static_cast<long long>(c.after) - c.before, verdictchange(q, c).c_str());
}

nlohmann::json jsonreport(const corpusrequest& q, const corpusrun& run, const histogram& h,
                          const std::vector<change>* compared) {
    nlohmann::json messages = nlohmann::json::array(), notscored = nlohmann::json::array();
    std::map<int, const rulestats*> byline;
    for (const auto& r : run.rules) byline[r.line] = &r;
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage& r = run.scores.results[i];
        if (r.scored) {
            // Why the message scored what it did, rule by rule.
            nlohmann::json hits = nlohmann::json::array();
            for (const messagehit& h : r.hits) {
                const rulestats& rule = *byline.at(h.line);
                hits.push_back({{"line", h.line},
                                {"pattern", rule.pattern},
                                {"weight", rule.weight},
                                {"found", h.found},
                                {"capitals", h.capitals},
                                {"contribution", h.added}});
            }
            messages.push_back({{"message", run.messages[i].name},
                                {"set", setnames[run.messages[i].set]},
                                {"score", r.score},
                                {"header_ended", r.headerended},
                                {"encoded", r.encoded},
                                {"hits", std::move(hits)}});
        } else
            notscored.push_back({{"message", run.messages[i].name}, {"reason", r.error}});
    }
    nlohmann::json rules = nlohmann::json::array(), unhit = nlohmann::json::array();
    for (const auto& r : run.rules) {
        nlohmann::json j = {{"line", r.line},
                            {"pattern", r.pattern},
                            {"weight", r.weight},
                            {"ham_hits", r.hits[ham]},
                            {"spam_hits", r.hits[spam]},
                            {"unlabelled_hits", r.hits[unlabelled]},
                            {"ham_share", share(r.hits[ham], run.sizes[ham])},
                            {"spam_share", share(r.hits[spam], run.sizes[spam])},
                            {"contribution", r.contribution}};
        const double so = spamratio(r, run.sizes);
        j["s_o"] = so < 0 ? nlohmann::json() : nlohmann::json(so);
        rules.push_back(j);
        if (r.hits[ham] + r.hits[spam] + r.hits[unlabelled] == 0)
            unhit.push_back({{"line", r.line}, {"pattern", r.pattern}});
    }
    nlohmann::json buckets = nlohmann::json::array();
    for (size_t i = 0; i < h.counts.size(); ++i) {
        const long long from = h.first + static_cast<long long>(i) * h.width;
        buckets.push_back({{"from", from},
                           {"to", from + h.width - 1},
                           {"ham", h.counts[i][ham]},
                           {"spam", h.counts[i][spam]},
                           {"unlabelled", h.counts[i][unlabelled]}});
    }
    nlohmann::json doc = {{"rules", q.rules},
                          {"counts",
                           {{"ham", run.sizes[ham]},
                            {"spam", run.sizes[spam]},
                            {"unlabelled", run.sizes[unlabelled]},
                            {"not_scored", run.notscored},
                            {"header_not_ended", run.noheaderend},
                            {"encoded", run.encoded}}},
                          {"messages", std::move(messages)},
                          {"not_scored", std::move(notscored)},
                          {"per_rule", std::move(rules)},
                          {"rules_that_hit_nothing", std::move(unhit)},
                          {"histogram", {{"width", h.width}, {"buckets", std::move(buckets)}}}};
    if (q.hasthreshold) {
        std::vector<size_t> fp, fn;
        misses(run, q.threshold, fp, fn);
        auto names = [&](const std::vector<size_t>& list) {
            nlohmann::json a = nlohmann::json::array();
            for (const size_t i : list)
                a.push_back(
                    {{"message", run.messages[i].name}, {"score", run.scores.results[i].score}});
            return a;
        };
        doc["threshold"] = {
            {"at", q.threshold}, {"false_positives", names(fp)}, {"false_negatives", names(fn)}};
    }
    if (compared) {
        nlohmann::json list = nlohmann::json::array();
        for (const change& c : *compared) {
            nlohmann::json j = {{"message", run.messages[c.message].name},
                                {"set", setnames[run.messages[c.message].set]},
                                {"before", c.before},
                                {"after", c.after},
                                {"difference", static_cast<long long>(c.after) - c.before}};
            if (q.hasthreshold)
                j["verdict_changes"] = (c.before >= q.threshold) != (c.after >= q.threshold);
            list.push_back(std::move(j));
        }
        doc["compare"] = {{"rules", q.compare}, {"changes", std::move(list)}};
    }
    return doc;
}

}  // namespace

int corpusreport(const corpusrequest& q, FILE* out) {
    corpusrun run;
    // Read once: the report and every worker see the same rules, however the
    // file is edited during the run.
    const inputfile rules = inputfile::snapshot(q.rules);
    if (!rules || !readruleset(rules.path(), run.rules)) return EX_NOINPUT;
    // A source that cannot be read is named, the rest is scored, and the
    // status says that something was left out.
    bool anysource = q.sources.empty(), allsources = true;
    for (const auto& [source, set] : q.sources) {
        const bool read = addmessages(source, set, run.messages);
        anysource |= read;
        allsources &= read;
    }
    if (!anysource) return EX_NOINPUT;
    const int done = allsources ? 0 : EX_NOINPUT;
    run.scores = scoreall(run.messages, rules.path(), q.jobs);
    for (const auto& [diagnostic, count] : run.scores.diagnostics)
        std::fprintf(stderr, "blocklistctl: %d messages: %s\n", count, diagnostic.c_str());
    tally(run);
    const histogram h = histogramof(run.scores.results, run.messages);

    std::vector<change> compared;
    if (q.compare) {
        const inputfile other = inputfile::snapshot(q.compare);
        std::vector<rulestats> otherrules;
        if (!other || !readruleset(other.path(), otherrules)) return EX_NOINPUT;
        compared = changes(run, scoreall(run.messages, other.path(), q.jobs));
    }
    if (q.plot) {
        std::vector<int> hamscores, spamscores;
        for (size_t i = 0; i < run.messages.size(); ++i) {
            if (!run.scores.results[i].scored) continue;
            if (run.messages[i].set == ham) hamscores.push_back(run.scores.results[i].score);
            if (run.messages[i].set == spam) spamscores.push_back(run.scores.results[i].score);
        }
        std::string error;
        if (!plotscores(q.plot, hamscores, spamscores, error)) {
            std::fprintf(stderr, "blocklistctl: cannot write %s: %s\n", q.plot, error.c_str());
            return EX_SOFTWARE;
        }
    }
    if (q.json) {
        printjson(jsonreport(q, run, h, q.compare ? &compared : nullptr), out);
        return done;
    }
    printtext(q, run, h, out);
    if (q.hasthreshold) printthreshold(q, run, out);
    if (q.compare) printcompare(q, run, compared, out);
    return done;
}

}  // namespace pst
