#include "corpus/corpus.h"

#include <sys/stat.h>
#include <sysexits.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "corpus/buckets.h"
#include "corpus/corpusscore.h"
#include "corpus/mailsource.h"
#include "corpus/plot.h"
#include "corpus/suggest.h"
#include "corpus/suggestreport.h"
#include "counting/search.h"
#include "input.h"
#include "json.h"
#include "messagenotes.h"
#include "rules/compiledrules.h"
#include "ruleset.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

const char* const setnames[] = {"unlabelled", "ham", "spam"};

// A list of the text report, and the diagnostics, show this many messages
// unless --all.
constexpr size_t listshown = 20;

struct rulestats {
    int line = 0;
    std::string pattern;
    int weight = 0;
    int hits[3] = {0, 0, 0};  // messages hit, per set
    long long contribution = 0;
};

// The scored messages' scores with their sets, in the buckets of the report
// and the plot.
scorebuckets bucketsof(const corpusrequest& q, const std::vector<scoredmessage>& results,
                       const std::vector<savedmessage>& messages) {
    std::vector<std::pair<int, int>> scores;
    for (size_t i = 0; i < results.size(); ++i)
        if (results[i].scored) scores.emplace_back(results[i].score, messages[i].set);
    return bucketscores(scores, q.bucketwidth,
                        q.hasthreshold ? std::optional<int>(q.threshold) : std::nullopt);
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
    std::unique_ptr<ruleset> loaded;  // read once, for every worker and the suggested file
    std::vector<rulestats> rules;
    int sizes[3] = {0, 0, 0};  // scored messages per set
    int notscored = 0;
    // Scored messages whose header no empty line ends, and whose body the
    // rules saw encoded.
    int noheaderend = 0, encoded = 0;
    // Each diagnostic of a rule and how many messages gave it, in the order
    // of the rules.
    std::map<messagediagnostic, int> diagnostics;
};

// The rules as the plugin without the debug marker counts them.
std::vector<rulestats> statsof(const ruleset& rules) {
    std::vector<rulestats> out;
    for (const ruleline& r : rules.rules())
        if (r.weight != 0) out.push_back({r.line, std::string(r.pattern), r.weight, {0, 0, 0}, 0});
    return out;
}

// The rule on line: the rules are in the order of their lines. Every line
// the evaluation reports is one of them.
size_t ruleat(const std::vector<rulestats>& rules, int line) {
    const auto it = std::lower_bound(rules.begin(), rules.end(), line,
                                     [](const rulestats& r, int l) { return r.line < l; });
    if (it == rules.end() || it->line != line) throw std::out_of_range("no rule on that line");
    return static_cast<size_t>(it - rules.begin());
}

void tally(corpusrun& run) {
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage& r = run.scores.results[i];
        for (const messagediagnostic& d : r.diagnostics) ++run.diagnostics[d];
        if (!r.scored) {
            ++run.notscored;
            continue;
        }
        const int set = run.messages[i].set;
        ++run.sizes[set];
        run.noheaderend += !r.headerended;
        run.encoded += r.encoded;
        for (const messagehit& h : r.hits) {
            rulestats& s = run.rules[ruleat(run.rules, h.line)];
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

// A bar of the share of its set, 30 characters for the largest share.
std::string bar(int n, int setsize, double most) {
    const double part = share(n, setsize);
    const int width = most > 0 ? static_cast<int>(std::ceil(part / most * 30 - 1e-9)) : 0;
    return std::string(static_cast<size_t>(width), '#');
}

// The counts, the messages not scored and what the rules could not see.
void printcounts(const corpusrequest& q, const corpusrun& run, FILE* out) {
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
}

// The diagnostics the plugin would have written, each named by its message
// and its rule's line (the first of them unless --all), then per rule how
// many messages gave each.
void printdiagnostics(const corpusrequest& q, const corpusrun& run, FILE* err) {
    size_t all = 0;
    for (size_t i = 0; i < run.messages.size(); ++i) {
        for (const messagediagnostic& d : run.scores.results[i].diagnostics) {
            if (q.all || all < listshown)
                std::fprintf(err, "blocklistctl: %s: line %d: %s\n", run.messages[i].name.c_str(),
                             d.line, d.text->c_str());
            ++all;
        }
    }
    if (all == 0) return;
    if (!q.all && all > listshown)
        std::fprintf(err, "blocklistctl: %zu more diagnostics (--all prints every one)\n",
                     all - listshown);
    std::fputs("blocklistctl: diagnostics per rule:\n", err);
    for (const auto& [d, messages] : run.diagnostics)
        std::fprintf(err, "blocklistctl:   line %d: %d messages: %s\n", d.line, messages,
                     d.text->c_str());
}

// Each rule's shares and contribution, and the rules that hit nothing.
void printrules(const corpusrun& run, FILE* out) {
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
}

// The score distribution, a bar per set and bucket.
void printbuckets(const corpusrun& run, const scorebuckets& h, FILE* out) {
    double most = 0;
    for (const bucket& k : h.list)
        for (const int set : {ham, spam, unlabelled})
            most = std::max(most, share(k.count[set], run.sizes[set]));
    std::fprintf(out,
                 "\nscore distribution (buckets of %lld; a bar is the share of its set, outliers\n"
                 "in a bucket of their own at either end):\n",
                 h.width);
    for (const bucket& k : h.list) {
        char line[256];
        std::snprintf(line, sizeof line, "  %6lld..%-6lld ham %5d %-30s spam %5d %-30s", k.from,
                      k.to, k.count[ham], bar(k.count[ham], run.sizes[ham], most).c_str(),
                      k.count[spam], bar(k.count[spam], run.sizes[spam], most).c_str());
        std::string text = line;
        if (run.sizes[unlabelled])
            text += " unlabelled " + std::to_string(k.count[unlabelled]) + " " +
                    bar(k.count[unlabelled], run.sizes[unlabelled], most);
        text.erase(text.find_last_not_of(' ') + 1);
        if (k.outliers) text += "  (outliers)";
        std::fprintf(out, "%s\n", text.c_str());
    }
}

void printtext(const corpusrequest& q, const corpusrun& run, const scorebuckets& h, FILE* out) {
    printcounts(q, run, out);
    printrules(run, out);
    printbuckets(run, h, out);
}

// The rules by their work, the costliest first; those the budget cut short
// come first whatever they cost, as they are the ones to rewrite.
std::vector<rulecost> costliest(const corpusrun& run) {
    std::vector<rulecost> list = run.scores.costs;
    std::stable_sort(list.begin(), list.end(), [](const rulecost& a, const rulecost& b) {
        if ((a.cut > 0) != (b.cut > 0)) return a.cut > 0;
        return a.seconds > b.seconds;
    });
    return list;
}

// A search may take this much CPU time; the most a rule took on one message
// is given as a share of it.
double searchbudget() {
    return static_cast<double>(searchlimits::defaults().search) * 1e-9;
}

const std::string& patternat(const corpusrun& run, int line) {
    return run.rules[ruleat(run.rules, line)].pattern;
}

constexpr size_t costsshown = 20;

void printcosts(const corpusrun& run, FILE* out) {
    const std::vector<rulecost> list = costliest(run);
    double total = 0;
    int cut = 0;
    for (const rulecost& c : list) {
        total += c.seconds;
        cut += c.cut > 0;
    }
    std::fprintf(out,
                 "\nwork per rule: its CPU time over the corpus, the most it took on one\n"
                 "message as a share of the search budget (%.0f ms), and the messages on\n"
                 "which the budget cut a search of it short (its count there may fall short)\n",
                 searchbudget() * 1000);
    std::fprintf(out, "  %5s %12s %7s %6s  %s\n", "line", "CPU time", "most", "cut", "pattern");
    size_t shown = 0;
    for (const rulecost& c : list) {
        if (shown == costsshown && c.cut == 0) break;
        ++shown;
        char time[32];
        std::snprintf(time, sizeof time, "%.3f ms", c.seconds * 1000);
        std::fprintf(out, "  %5d %12s %7s %6d  %s\n", c.line, time,
                     percent(c.most / searchbudget()).c_str(), c.cut,
                     patternat(run, c.line).c_str());
    }
    if (shown < list.size())
        std::fprintf(out, "  (%zu cheaper rules not listed; --format=json lists every rule)\n",
                     list.size() - shown);
    std::fprintf(out, "all rules: %.3f ms of CPU time; %d rules cut short by the budget\n",
                 total * 1000, cut);
}

nlohmann::json jsoncosts(const corpusrun& run) {
    nlohmann::json rules = nlohmann::json::array();
    for (const rulecost& c : costliest(run))
        rules.push_back({{"line", c.line},
                         {"pattern", patternat(run, c.line)},
                         {"cpu_seconds", c.seconds},
                         {"most_seconds", c.most},
                         {"most_budget_share", c.most / searchbudget()},
                         {"messages_cut", c.cut}});
    return {{"search_budget_seconds", searchbudget()}, {"rules", std::move(rules)}};
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

// The messages of list, the farthest from the threshold first (the
// highest-scoring ham, the lowest-scoring spam), bounded unless q.all.
void printmisses(const corpusrequest& q, const corpusrun& run, std::vector<size_t> list,
                 bool highfirst, FILE* out) {
    std::stable_sort(list.begin(), list.end(), [&](size_t a, size_t b) {
        const int sa = run.scores.results[a].score, sb = run.scores.results[b].score;
        return highfirst ? sa > sb : sa < sb;
    });
    const size_t shown = q.all ? list.size() : std::min(list.size(), listshown);
    for (size_t k = 0; k < shown; ++k)
        std::fprintf(out, "    %s  %d\n", run.messages[list[k]].name.c_str(),
                     run.scores.results[list[k]].score);
    if (shown < list.size())
        std::fprintf(out, "    (%zu more; --all lists every one, as does --format=json)\n",
                     list.size() - shown);
}

void printthreshold(const corpusrequest& q, const corpusrun& run, FILE* out) {
    std::vector<size_t> fp, fn;
    misses(run, q.threshold, fp, fn);
    std::fprintf(out, "\nat threshold %d:\n", q.threshold);
    std::fprintf(out, "  ham at or above it (false positives): %zu of %d, highest first\n",
                 fp.size(), run.sizes[ham]);
    printmisses(q, run, fp, true, out);
    std::fprintf(out, "  spam below it (false negatives): %zu of %d, lowest first\n", fn.size(),
                 run.sizes[spam]);
    printmisses(q, run, fn, false, out);
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

// Each scored message and why it scored what it did, rule by rule; and the
// messages that were not scored.
void jsonmessages(const corpusrun& run, nlohmann::json& messages, nlohmann::json& notscored) {
    messages = nlohmann::json::array();
    notscored = nlohmann::json::array();
    for (size_t i = 0; i < run.messages.size(); ++i) {
        const scoredmessage& r = run.scores.results[i];
        if (!r.scored) {
            notscored.push_back({{"message", run.messages[i].name}, {"reason", r.error}});
            continue;
        }
        nlohmann::json hits = nlohmann::json::array();
        for (const messagehit& h : r.hits) {
            const rulestats& rule = run.rules[ruleat(run.rules, h.line)];
            hits.push_back({{"line", h.line},
                            {"pattern", rule.pattern},
                            {"weight", rule.weight},
                            {"found", h.found},
                            {"capitals", h.capitals},
                            {"contribution", h.added}});
        }
        nlohmann::json diagnostics = nlohmann::json::array();
        for (const messagediagnostic& d : r.diagnostics)
            diagnostics.push_back({{"line", d.line}, {"diagnostic", *d.text}});
        messages.push_back({{"message", run.messages[i].name},
                            {"set", setnames[run.messages[i].set]},
                            {"score", r.score},
                            {"header_ended", r.headerended},
                            {"encoded", r.encoded},
                            {"hits", std::move(hits)},
                            {"diagnostics", std::move(diagnostics)}});
    }
}

// Every rule's shares and contribution; and the rules that hit nothing.
void jsonrules(const corpusrun& run, nlohmann::json& rules, nlohmann::json& unhit) {
    rules = nlohmann::json::array();
    unhit = nlohmann::json::array();
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
}

nlohmann::json jsonbuckets(const scorebuckets& h) {
    nlohmann::json buckets = nlohmann::json::array();
    for (const bucket& k : h.list)
        buckets.push_back({{"from", k.from},
                           {"to", k.to},
                           {"outliers", k.outliers},
                           {"ham", k.count[ham]},
                           {"spam", k.count[spam]},
                           {"unlabelled", k.count[unlabelled]}});
    return {{"width", h.width}, {"buckets", std::move(buckets)}};
}

nlohmann::json jsonthreshold(const corpusrequest& q, const corpusrun& run) {
    std::vector<size_t> fp, fn;
    misses(run, q.threshold, fp, fn);
    auto names = [&](const std::vector<size_t>& list) {
        nlohmann::json a = nlohmann::json::array();
        for (const size_t i : list)
            a.push_back(
                {{"message", run.messages[i].name}, {"score", run.scores.results[i].score}});
        return a;
    };
    return {{"at", q.threshold}, {"false_positives", names(fp)}, {"false_negatives", names(fn)}};
}

nlohmann::json jsoncompare(const corpusrequest& q, const corpusrun& run,
                           const std::vector<change>& compared) {
    nlohmann::json list = nlohmann::json::array();
    for (const change& c : compared) {
        nlohmann::json j = {{"message", run.messages[c.message].name},
                            {"set", setnames[run.messages[c.message].set]},
                            {"before", c.before},
                            {"after", c.after},
                            {"difference", static_cast<long long>(c.after) - c.before}};
        if (q.hasthreshold)
            j["verdict_changes"] = (c.before >= q.threshold) != (c.after >= q.threshold);
        list.push_back(std::move(j));
    }
    return {{"rules", q.compare}, {"changes", std::move(list)}};
}

nlohmann::json jsonreport(const corpusrequest& q, const corpusrun& run, const scorebuckets& h,
                          const std::vector<change>* compared) {
    nlohmann::json messages, notscored, rules, unhit;
    jsonmessages(run, messages, notscored);
    jsonrules(run, rules, unhit);
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
                          {"histogram", jsonbuckets(h)}};
    nlohmann::json perrule = nlohmann::json::array();
    for (const auto& [d, messages] : run.diagnostics)
        perrule.push_back({{"line", d.line}, {"diagnostic", *d.text}, {"messages", messages}});
    doc["diagnostics_per_rule"] = std::move(perrule);
    if (q.hasthreshold) doc["threshold"] = jsonthreshold(q, run);
    if (q.costs) doc["work"] = jsoncosts(run);
    if (compared) doc["compare"] = jsoncompare(q, run, *compared);
    return doc;
}

// The labelled messages as the fit sees them, and the rules that hit one of
// them, in the order of their lines.
struct fitinput {
    std::vector<sample> samples;
    std::vector<std::pair<int, int>> rules;  // line, weight
    std::vector<std::string> patterns;
};

fitinput fitinputof(const corpusrun& run) {
    fitinput in;
    std::vector<bool> labelled(run.messages.size());
    std::vector<int> index(run.rules.size(), -1);
    for (size_t i = 0; i < run.messages.size(); ++i) {
        labelled[i] = run.scores.results[i].scored && run.messages[i].set != unlabelled;
        if (labelled[i])
            for (const messagehit& h : run.scores.results[i].hits)
                index[ruleat(run.rules, h.line)] = 0;
    }
    for (size_t j = 0; j < run.rules.size(); ++j) {
        if (index[j] < 0) continue;
        index[j] = static_cast<int>(in.rules.size());
        in.rules.emplace_back(run.rules[j].line, run.rules[j].weight);
        in.patterns.push_back(run.rules[j].pattern);
    }
    for (size_t i = 0; i < run.messages.size(); ++i) {
        if (!labelled[i]) continue;
        const scoredmessage& r = run.scores.results[i];
        sample m;
        m.spam = run.messages[i].set == spam;
        m.before = r.score;
        for (const messagehit& h : r.hits)
            m.effects.emplace_back(static_cast<size_t>(index[ruleat(run.rules, h.line)]),
                                   static_cast<long long>(h.found) + 2LL * h.capitals);
        in.samples.push_back(std::move(m));
    }
    return in;
}

// The rule file as read, with the suggested weights, written to path.
bool writesuggested(std::string_view ruletext, const suggestion& s, const char* path) {
    // A rename would replace a link, a device or a directory's entry itself.
    struct stat st {};
    if (::lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "blocklistctl: cannot write %s: it is not a regular file\n", path);
        return false;
    }
    std::string error;
    if (!replacefile(path, rewriteweights(ruletext, s.rules), error)) {
        std::fprintf(stderr, "blocklistctl: cannot write %s: %s\n", path, error.c_str());
        return false;
    }
    return true;
}

// The plot of the run's ham and spam scores, written to q.plot; false,
// having said why, when it cannot be written.
bool plotrun(const corpusrequest& q, const corpusrun& run, const scorebuckets& h) {
    std::vector<int> hamscores, spamscores;
    for (size_t i = 0; i < run.messages.size(); ++i) {
        if (!run.scores.results[i].scored) continue;
        if (run.messages[i].set == ham) hamscores.push_back(run.scores.results[i].score);
        if (run.messages[i].set == spam) spamscores.push_back(run.scores.results[i].score);
    }
    std::string error;
    const plotinput picture{h, hamscores, spamscores,
                            q.hasthreshold ? std::optional<int>(q.threshold) : std::nullopt};
    if (plotscores(q.plot, picture, error)) return true;
    std::fprintf(stderr, "blocklistctl: cannot write %s: %s\n", q.plot, error.c_str());
    return false;
}

// The compiled form beside a rule file, as the plugin finds it: used where
// it fits the rules as read (they are read once, into a copy) and is
// trusted; it changes no score, only the time. None for standard input.
std::string formof(const char* rules) {
    return std::strcmp(rules, "-") == 0 ? std::string() : compiledpath(rules);
}

// The suggestion, and the rule file with it when asked: 0, or the exit
// status of what failed.
int suggestandwrite(const corpusrequest& q, const suggestrequest& sq, const corpusrun& run,
                    fitinput& fitted, suggestion& suggested) {
    try {
        fitted = fitinputof(run);
        suggested = suggestweights(fitted.samples, fitted.rules, sq);
    } catch (const std::bad_alloc&) {
        std::fputs(toolnomemory, stderr);
        return EX_SOFTWARE;
    }
    if (q.write && !writesuggested(run.loaded->text(), suggested, q.write)) return EX_CANTCREAT;
    return 0;
}

}  // namespace

int corpusreport(const corpusrequest& q, FILE* out) {
    corpusrun run;
    // Read once: the report and every worker see the same rules, however the
    // file is edited during the run.
    const inputfile rules = inputfile::snapshot(q.rules);
    if (!rules ||
        !(run.loaded = loadruleset(inputfile::named(rules.path()), formof(q.rules).c_str())))
        return EX_NOINPUT;
    run.rules = statsof(*run.loaded);
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
    run.scores = scoreall(run.messages, *run.loaded, q.jobs, q.costs);
    tally(run);
    printdiagnostics(q, run, stderr);
    const scorebuckets h = bucketsof(q, run.scores.results, run.messages);

    std::vector<change> compared;
    if (q.compare) {
        const inputfile other = inputfile::snapshot(q.compare);
        if (!other) return EX_NOINPUT;
        const std::unique_ptr<ruleset> otherrules =
            loadruleset(inputfile::named(other.path()), formof(q.compare).c_str());
        if (!otherrules) return EX_NOINPUT;
        compared = changes(run, scoreall(run.messages, *otherrules, q.jobs));
    }
    if (q.plot && !plotrun(q, run, h)) return EX_SOFTWARE;
    fitinput fitted;
    suggestion suggested;
    const suggestrequest sq{.threshold = q.threshold, .hamcost = q.hamcost};
    if (q.suggest) {
        if (const int status = suggestandwrite(q, sq, run, fitted, suggested); status != 0)
            return status;
    }
    if (q.json) {
        nlohmann::json doc = jsonreport(q, run, h, q.compare ? &compared : nullptr);
        if (q.suggest) doc["suggestion"] = jsonsuggestion(suggested, sq, fitted.patterns, q.write);
        printjson(doc, out);
        return done;
    }
    printtext(q, run, h, out);
    if (q.costs) printcosts(run, out);
    if (q.hasthreshold) printthreshold(q, run, out);
    if (q.compare) printcompare(q, run, compared, out);
    if (q.suggest) printsuggestion(suggested, sq, fitted.patterns, q.write, out);
    return done;
}

}  // namespace pst
