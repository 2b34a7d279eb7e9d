#include "corpus/suggest.h"

#include <nlopt.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "rules/rule.h"

namespace pst {
namespace {

struct optfreer {
    void operator()(nlopt_opt o) const { nlopt_destroy(o); }
};
using optholder = std::unique_ptr<nlopt_opt_s, optfreer>;

// Pulls each weight towards its current value: a rule that few messages
// speak for keeps about the weight the administrator gave it.
constexpr double pull = 0.05;
// The fit gives up after this many evaluations, which bounds its time; the
// exact improvement after it works from wherever the fit stopped.
constexpr int evaluations = 400;
// The improvement rule by rule stops after this many passes.
constexpr int passes = 4;

struct problem {
    const std::vector<sample>& samples;
    const std::vector<size_t>& train;
    const std::vector<double>& current;
    double offset;  // the threshold less one half: score > offset is "at or above"
    double scale;   // how many points of score make a verdict sure
    double hamcost;
};

double softplus(double x) {
    return x > 0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x));
}

// sum over the training messages of cost * softplus(-y (score - offset) /
// scale), plus the pull; and its gradient.
double objective(unsigned n, const double* w, double* gradient, void* data) {
    const auto& p = *static_cast<const problem*>(data);
    double total = 0;
    if (gradient) std::fill(gradient, gradient + n, 0.0);
    for (const size_t i : p.train) {
        const sample& s = p.samples[i];
        double score = 0;
        for (const auto& [rule, effect] : s.effects) score += w[rule] * static_cast<double>(effect);
        const double y = s.spam ? 1.0 : -1.0;
        const double cost = s.spam ? 1.0 : p.hamcost;
        const double margin = -y * (score - p.offset) / p.scale;
        total += cost * softplus(margin);
        if (!gradient) continue;
        // d softplus(m)/dm is the logistic function of m.
        const double slope = cost / (1 + std::exp(-margin)) * -y / p.scale;
        for (const auto& [rule, effect] : s.effects)
            gradient[rule] += slope * static_cast<double>(effect);
    }
    for (unsigned j = 0; j < n; ++j) {
        const double d = w[j] - p.current[j];
        total += pull / 2 * d * d;
        if (gradient) gradient[j] += pull * d;
    }
    return total;
}

// The smooth fit; where the optimiser fails, the current weights.
std::vector<double> fit(const problem& p, int bound) {
    const auto n = static_cast<unsigned>(p.current.size());
    std::vector<double> w = p.current;
    if (n == 0) return w;
    const optholder opt(nlopt_create(NLOPT_LD_LBFGS, n));
    if (!opt) throw std::bad_alloc();
    nlopt_set_min_objective(opt.get(), objective, const_cast<problem*>(&p));
    nlopt_set_lower_bounds1(opt.get(), -bound);
    nlopt_set_upper_bounds1(opt.get(), bound);
    nlopt_set_maxeval(opt.get(), evaluations);
    nlopt_set_ftol_rel(opt.get(), 1e-9);
    double least = 0;
    const nlopt_result r = nlopt_optimize(opt.get(), w.data(), &least);
    if (r == NLOPT_OUT_OF_MEMORY) throw std::bad_alloc();
    if (r < 0 && r != NLOPT_ROUNDOFF_LIMITED) return p.current;
    return w;
}

bool atorabove(long long score, int threshold) {
    return score >= threshold;
}

std::vector<long long> scoresof(const std::vector<sample>& samples, const std::vector<int>& w) {
    std::vector<long long> scores(samples.size(), 0);
    for (size_t i = 0; i < samples.size(); ++i)
        for (const auto& [rule, effect] : samples[i].effects) scores[i] += w[rule] * effect;
    return scores;
}

// The move of one weight that lowers the exact cost the most, 0 if none
// does: the cost changes only where one of the rule's messages crosses the
// threshold, so each such point is tried, by a sweep up and a sweep down.
// Of equal costs the smaller move wins.
int bestmove(const std::vector<std::pair<size_t, long long>>& hits,
             const std::vector<long long>& scores, const std::vector<sample>& samples, int w,
             int bound, int threshold, int hamcost) {
    int best = 0;
    long long least = 0;
    for (const int direction : {1, -1}) {
        const long long room = direction > 0 ? bound - w : w + bound;
        std::vector<std::pair<long long, long long>> flips;  // the move, the change of cost
        for (const auto& [i, effect] : hits) {
            const long long s = scores[i];
            const bool over = atorabove(s, threshold);
            if (direction > 0 && !over) {
                const long long move = (threshold - s + effect - 1) / effect;
                if (move <= room) flips.emplace_back(move, samples[i].spam ? -1 : hamcost);
            } else if (direction < 0 && over) {
                const long long move = (s - threshold) / effect + 1;
                if (move <= room) flips.emplace_back(move, samples[i].spam ? 1 : -hamcost);
            }
        }
        std::sort(flips.begin(), flips.end());
        long long change = 0;
        for (size_t k = 0; k < flips.size(); ++k) {
            change += flips[k].second;
            if (k + 1 < flips.size() && flips[k + 1].first == flips[k].first) continue;
            const auto move = static_cast<int>(flips[k].first);
            if (change < least || (change == least && change < 0 && move < std::abs(best))) {
                least = change;
                best = direction * move;
            }
        }
    }
    return best;
}

// The fit rounded, then each rule's weight moved to where it lowers the
// exact cost on the training messages the most, rule after rule, until no
// move lowers it.
std::vector<int> integral(const std::vector<double>& fitted, const std::vector<sample>& samples,
                          const std::vector<size_t>& train, int threshold, int hamcost, int bound) {
    std::vector<int> w(fitted.size());
    for (size_t j = 0; j < w.size(); ++j)
        w[j] = static_cast<int>(std::clamp<long>(std::lround(fitted[j]), -bound, bound));
    // Each rule's training messages, with its effect on each.
    std::vector<std::vector<std::pair<size_t, long long>>> hitby(w.size());
    for (const size_t i : train)
        for (const auto& [rule, effect] : samples[i].effects) hitby[rule].emplace_back(i, effect);
    std::vector<long long> scores = scoresof(samples, w);
    for (int pass = 0; pass < passes; ++pass) {
        bool moved = false;
        for (size_t j = 0; j < w.size(); ++j) {
            const int move = bestmove(hitby[j], scores, samples, w[j], bound, threshold, hamcost);
            if (move == 0) continue;
            for (const auto& [i, effect] : hitby[j]) scores[i] += move * effect;
            w[j] += move;
            moved = true;
        }
        if (!moved) break;
    }
    return w;
}

std::vector<int> suggestfor(const std::vector<sample>& samples, const std::vector<size_t>& train,
                            const std::vector<double>& current, const suggestrequest& q,
                            int bound) {
    const problem p{samples,
                    train,
                    current,
                    q.threshold - 0.5,
                    std::max(1.0, std::abs(q.threshold) / 2.0),
                    static_cast<double>(q.hamcost)};
    return integral(fit(p, bound), samples, train, q.threshold, q.hamcost, bound);
}

// Every message's fold: ham and spam each shuffled (the same way every time,
// from the given start of the generator) and dealt in
// turn, so that every fold holds its share of both.
std::vector<int> foldsof(const std::vector<sample>& samples, int folds, unsigned shuffle) {
    std::mt19937 random(shuffle);
    std::vector<int> fold(samples.size(), 0);
    for (const bool spam : {false, true}) {
        std::vector<size_t> set;
        for (size_t i = 0; i < samples.size(); ++i)
            if (samples[i].spam == spam) set.push_back(i);
        // Fisher-Yates on the generator's own output, the same on every
        // standard library.
        for (size_t i = set.size(); i > 1; --i) std::swap(set[i - 1], set[random() % i]);
        for (size_t k = 0; k < set.size(); ++k) fold[set[k]] = static_cast<int>(k % folds);
    }
    return fold;
}

errorcount errorsof(const std::vector<sample>& samples, const std::vector<bool>& over) {
    errorcount e;
    for (size_t i = 0; i < samples.size(); ++i) {
        e.falsepositives += !samples[i].spam && over[i];
        e.falsenegatives += samples[i].spam && !over[i];
    }
    return e;
}

// A bound that no score of the corpus can wrap within, at most 1000 and at
// least the largest current weight's size, so that no weight is cut by it.
int boundfor(const std::vector<sample>& samples, const std::vector<std::pair<int, int>>& rules) {
    long long most = 1;
    for (const sample& s : samples) {
        long long sum = 0;
        for (const auto& effect : s.effects) sum += effect.second;
        most = std::max(most, sum);
    }
    long long bound = std::min<long long>(1000, INT_MAX / most);
    for (const auto& r : rules) bound = std::max<long long>(bound, std::llabs(r.second));
    return static_cast<int>(std::min<long long>(bound, INT_MAX));
}

heldoutverdict judge(const suggestion& s, long long costbefore, long long costafter) {
    if (s.hams < fewestheldout || s.spams < fewestheldout) return heldoutverdict::toosmall;
    // A sign test on the messages whose held-out verdict changed: a gain
    // smaller than twice its standard deviation is within noise.
    const int changed = s.improved + s.worsened;
    const double noise = 2 * std::sqrt(static_cast<double>(changed));
    if (costafter < costbefore && s.improved - s.worsened > noise) return heldoutverdict::gain;
    if (costafter > costbefore && s.worsened - s.improved > noise) return heldoutverdict::worse;
    return heldoutverdict::noise;
}

}  // namespace

suggestion suggestweights(const std::vector<sample>& samples,
                          const std::vector<std::pair<int, int>>& rules, const suggestrequest& q) {
    suggestion s;
    s.bound = boundfor(samples, rules);
    std::vector<double> current(rules.size());
    for (size_t j = 0; j < rules.size(); ++j) current[j] = rules[j].second;
    std::vector<size_t> all(samples.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<bool> overbefore(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        overbefore[i] = atorabove(samples[i].before, q.threshold);
        (samples[i].spam ? s.spams : s.hams) += 1;
    }
    const std::vector<int> w = suggestfor(samples, all, current, q, s.bound);
    const std::vector<long long> scores = scoresof(samples, w);
    std::vector<bool> overafter(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) overafter[i] = atorabove(scores[i], q.threshold);
    s.before = errorsof(samples, overbefore);
    s.after = errorsof(samples, overafter);
    for (size_t j = 0; j < rules.size(); ++j)
        s.rules.push_back({rules[j].first, rules[j].second, w[j], 0, 0});
    for (const sample& m : samples)
        for (const auto& effect : m.effects)
            (m.spam ? s.rules[effect.first].spam : s.rules[effect.first].ham) += 1;

    // Each fold scored by the weights fitted on the others.
    s.folds = std::max(2, std::min<int>(q.folds, static_cast<int>(samples.size())));
    const std::vector<int> fold = foldsof(samples, s.folds, q.shuffle);
    std::vector<bool> held(samples.size());
    for (int f = 0; f < s.folds; ++f) {
        std::vector<size_t> train, test;
        for (size_t i = 0; i < samples.size(); ++i) (fold[i] == f ? test : train).push_back(i);
        if (test.empty()) continue;
        const std::vector<long long> heldscores =
            scoresof(samples, suggestfor(samples, train, current, q, s.bound));
        for (const size_t i : test) held[i] = atorabove(heldscores[i], q.threshold);
    }
    s.heldbefore = s.before;
    s.heldafter = errorsof(samples, held);
    for (size_t i = 0; i < samples.size(); ++i) {
        const bool wasright = overbefore[i] == samples[i].spam;
        const bool isright = held[i] == samples[i].spam;
        s.improved += !wasright && isright;
        s.worsened += wasright && !isright;
    }
    auto cost = [&](const errorcount& e) {
        return static_cast<long long>(q.hamcost) * e.falsepositives + e.falsenegatives;
    };
    s.verdict = judge(s, cost(s.heldbefore), cost(s.heldafter));
    return s;
}

std::string rewriteweights(std::string_view text, const std::vector<ruleweight>& weights) {
    std::string out;
    out.reserve(text.size() + weights.size() * 4);
    size_t at = 0;
    int line = 1;
    auto next = weights.begin();
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        while (next != weights.end() && next->line < line) ++next;
        if (next == weights.end() || next->line != line || next->after == next->before) {
            out.append(text, at, end - at);
        } else {
            // The weight's sign and digits, as the plugin reads them.
            const std::string_view line = text.substr(at, end - at);
            const std::optional<rulespans> s = splitrule(line);
            const auto [first, last] = s ? weightdigits(s->weight) : std::pair<size_t, size_t>{};
            const size_t weightat = s ? static_cast<size_t>(s->weight.data() - line.data()) : 0;
            out.append(line, 0, weightat + first);
            out += std::to_string(next->after);
            out.append(line, weightat + last);
        }
        at = end;
        ++line;
    }
    return out;
}

const char* verdictname(heldoutverdict v) {
    switch (v) {
        case heldoutverdict::gain:
            return "gain";
        case heldoutverdict::noise:
            return "within noise";
        case heldoutverdict::worse:
            return "worse";
        case heldoutverdict::toosmall:
            return "too small to tell";
    }
    return "";
}

}  // namespace pst
