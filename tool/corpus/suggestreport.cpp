#include "corpus/suggestreport.h"

#include <cstdio>
#include <string>

namespace pst {

namespace {

void printerrors(const char* what, const errorcount& e, const suggestion& s, FILE* out) {
    std::fprintf(out, "  %-18s %6d of %-6d %6d of %d\n", what, e.falsepositives, s.hams,
                 e.falsenegatives, s.spams);
}

std::string heldoutsentence(const suggestion& s) {
    const std::string changed = "held out, the suggestion is right on " +
                                std::to_string(s.improved) +
                                " messages that the current weights get wrong and wrong on " +
                                std::to_string(s.worsened) + " that they get right: ";
    switch (s.verdict) {
        case heldoutverdict::gain:
            return changed + "more than noise.";
        case heldoutverdict::noise:
            return changed + "within noise, so this corpus does not show that it is better.";
        case heldoutverdict::worse:
            return changed + "it does worse on mail it has not seen; keep the current weights.";
        case heldoutverdict::toosmall:
            break;
    }
    return "the corpus is too small to trust: " + std::to_string(s.hams) + " ham and " +
           std::to_string(s.spams) + " spam; with fewer than " + std::to_string(fewestheldout) +
           " of either, no held-out gain means anything.";
}

nlohmann::json errorsjson(const errorcount& e) {
    return {{"false_positives", e.falsepositives}, {"false_negatives", e.falsenegatives}};
}

}  // namespace

void printsuggestion(const suggestion& s, const suggestrequest& q,
                     const std::vector<std::string>& patterns, const char* written, FILE* out) {
    std::fprintf(out,
                 "\nsuggested weights at threshold %d, a false positive costing %d false "
                 "negatives, from %d ham and %d spam:\n",
                 q.threshold, q.hamcost, s.hams, s.spams);
    std::fprintf(out, "  %6s %8s %10s %6s %6s  %s\n", "line", "weight", "suggested", "ham", "spam",
                 "pattern");
    for (size_t i = 0; i < s.rules.size(); ++i) {
        const ruleweight& r = s.rules[i];
        std::fprintf(out, "  %6d %8d %10d %6d %6d  %s\n", r.line, r.before, r.after, r.ham, r.spam,
                     patterns[i].c_str());
    }
    std::fprintf(out,
                 "  (the other rules hit nothing and keep their weights; weights stay within "
                 "%d and %d)\n",
                 -s.bound, s.bound);
    std::fprintf(out, "\n  %-18s %16s %16s\n", "", "false positives", "false negatives");
    printerrors("current weights", s.before, s, out);
    printerrors("suggested weights", s.after, s, out);
    std::fprintf(out, "  held out (%d fixed folds):\n", s.folds);
    printerrors("current weights", s.heldbefore, s, out);
    printerrors("suggested weights", s.heldafter, s, out);
    std::fprintf(out, "%s\n", heldoutsentence(s).c_str());
    if (written) std::fprintf(out, "suggested rule file written to %s\n", written);
}

nlohmann::json jsonsuggestion(const suggestion& s, const suggestrequest& q,
                              const std::vector<std::string>& patterns, const char* written) {
    nlohmann::json rules = nlohmann::json::array();
    for (size_t i = 0; i < s.rules.size(); ++i)
        rules.push_back({{"line", s.rules[i].line},
                         {"pattern", patterns[i]},
                         {"weight", s.rules[i].before},
                         {"suggested", s.rules[i].after},
                         {"ham", s.rules[i].ham},
                         {"spam", s.rules[i].spam}});
    return {{"threshold", q.threshold},
            {"ham_cost", q.hamcost},
            {"ham", s.hams},
            {"spam", s.spams},
            {"bound", s.bound},
            {"rules", std::move(rules)},
            {"current", errorsjson(s.before)},
            {"suggested", errorsjson(s.after)},
            {"held_out",
             {{"folds", s.folds},
              {"current", errorsjson(s.heldbefore)},
              {"suggested", errorsjson(s.heldafter)},
              {"improved", s.improved},
              {"worsened", s.worsened},
              {"verdict", verdictname(s.verdict)}}},
            {"written", written ? nlohmann::json(written) : nlohmann::json()}};
}

}  // namespace pst
