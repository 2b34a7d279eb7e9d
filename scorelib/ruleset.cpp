#include "ruleset.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>

#include "counting/counter.h"
#include "counting/patternstore.h"
#include "holders.h"
#include "message/casefold.h"
#include "message/reader.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "scorelib.h"
#include "stats/stats.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {

struct ruleset::impl {
    rulefile file;
    std::optional<compiledrules> form;
    // Slot 2i holds rule i's pattern, 2i + 1 its capitals.
    std::unique_ptr<patternstore> store;
    bool readfailed = false;
    int readerror = 0;
};

namespace {

// The compiled form, if there is one that fits the rules. Memory running out
// while it is read only means that the rules are worked out as without one.
std::optional<compiledrules> loadform(sysio& sys, const char* path, const rulefile& rules) {
    if (!path) return std::nullopt;
    try {
        std::optional<compiledrules> form(std::in_place);
        std::string why;
        if (form->load(sys, path, rules, why)) return form;
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

}  // namespace

ruleset::ruleset(sysio& sys, int fd, const options& how) try : impl_(std::make_unique<impl>()) {
    impl& m = *impl_;
    boundedreader in(sys, fd);
    readrulelines(in, m.file);
    m.readfailed = in.failed();
    m.readerror = in.failed() ? in.error() : 0;
    m.form = loadform(sys, how.formpath, m.file);
    parserules(weights::all, m.file);  // the debug level chooses when scoring
    if (how.keepcompiled) {
        try {
            m.store = std::make_unique<patternstore>(2 * m.file.rules.size());
        } catch (const std::bad_alloc&) {
            // Without the room each message compiles its own.
        }
    }
} catch (const std::bad_alloc&) {
    outofmemory(nomemoryforline);
}

ruleset::~ruleset() = default;

const std::vector<ruleline>& ruleset::rules() const {
    return impl_->file.rules;
}
std::string_view ruleset::text() const {
    return impl_->file.text;
}
bool ruleset::readfailed() const {
    return impl_->readfailed;
}
int ruleset::readerror() const {
    return impl_->readerror;
}

namespace {

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

// One message's scoring: a counter for the folded text, and one for the
// text as it is once a rule that is not exact hits.
class scorer {
   public:
    scorer(const ruleset::impl& rules, mailtext message, evalsink& sink, const scoring& how)
        : rules_(rules),
          message_(message),
          sink_(sink),
          how_(how),
          debug_(how.debug != 0),
          form_(how.straightforward || !rules.form ? nullptr : &*rules.form),
          budget_(how.limits ? *how.limits : searchlimits::defaults()),
          infolded_(message.folded, how.straightforward, how.profile, budget_, sink,
                    rules.store.get()) {}

    int run() {
        prime();
        if (how_.work) {
            try {
                how_.work->reserve(how_.work->size() + rules_.file.rules.size());
            } catch (const std::bad_alloc&) {
                outofmemory(nomemory);
            }
        }
        const std::vector<ruleline>& rules = rules_.file.rules;
        for (size_t i = 0; i < rules.size(); ++i) {
            if (!counted(rules[i])) continue;
            if (how_.work) {
                timed(rules[i], i);
            } else {
                scorerule(rules[i], i);
            }
        }
        if (how_.profile) how_.profile->budgetcuts += budget_.cuts();
        return score_;
    }

   private:
    // Weight-0 rules count in debug mode only.
    bool counted(const ruleline& r) const { return debug_ || r.weight != 0; }

    // The patterns to count, so that their literals are found in one pass.
    // Not those the prefilter leaves out: their analysis would be wasted.
    void prime() {
        const std::vector<ruleline>& rules = rules_.file.rules;
        std::vector<patternref> patterns;
        try {
            patterns.reserve(rules.size());
            for (size_t i = 0; i < rules.size(); ++i) {
                ruleplan plan;
                if (!counted(rules[i]) || (form_ && form_->planfor(rules[i].line, plan) &&
                                           unflagged(plan, rules[i].line)))
                    continue;
                patterns.push_back({rules[i].pattern.data(), 2 * i});
            }
        } catch (const std::bad_alloc&) {
            patterns.clear();  // nothing primed: each rule searches for itself
        }
        stopwatch w(how_.profile ? &how_.profile->search : nullptr);
        infolded_.prime(patterns);
    }

    void timed(const ruleline& r, size_t i) {
        using clock = std::chrono::steady_clock;
        const clock::time_point began = clock::now();
        const int cuts = budget_.cuts();
        scorerule(r, i);
        const auto took =
            std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - began);
        how_.work->push_back({r.line, static_cast<uint64_t>(took.count()), budget_.cuts() != cuts});
    }

    // Whether the compiled form shows that the rule on line counts 0 here:
    // by the prefilter's silence, or by its literals.
    bool leftout(const ruleplan& plan, int line) {
        const bool out = unflagged(plan, line) ||
                         (plan.skippable && infolded_.certainlyzero(planfacts(*form_, plan)));
        if (out && how_.profile) ++how_.profile->leftout;
        return out;
    }

    // Whether the prefilter finds none of the rule's strings in the folded
    // text, one short enough for the rule's search to end quietly there.
    // The text is scanned when first asked about; a scan that fails flags
    // every rule.
    bool unflagged(const ruleplan& plan, int line) {
        const prefilter* filter = form_->filter();
        if (!plan.filtered || !filter || message_.folded.size() > plan.quiet) return false;
        if (!flagged_) {
            try {
                flagged_.emplace(rules_.file.lines.size(), false);
            } catch (const std::bad_alloc&) {
                return false;
            }
            if (!filter->scan(message_.folded, *flagged_)) flagged_->assign(flagged_->size(), true);
        }
        const auto at = static_cast<size_t>(line - 1);
        return at < flagged_->size() && !(*flagged_)[at];
    }

    // Whether the text as it is holds none of the strings one of which is in
    // every match of the rule's capitals, and is short enough for their
    // search to end quietly.
    bool capitalsabsent(const ruleplan& plan) const {
        const std::string_view text = message_.text;
        if (!plan.capsfiltered || text.size() > plan.capsquiet) return false;
        for (uint32_t k = 0; k < plan.capscount; ++k)
            if (text.find(form_->literal(plan.capsfirst + k)) != std::string_view::npos)
                return false;
        return true;
    }

    // Rule i, r, counted in the message.
    void scorerule(const ruleline& r, size_t i) {
        const char* pattern = r.pattern.data();
        ruleplan plan;
        const bool planned = form_ && form_->planfor(r.line, plan);
        if (planned && leftout(plan, r.line)) return;
        const int found = infolded_.count({pattern, 2 * i, r.line});
        if (found == 0) return;
        const int before = score_;
        int capitals = 0;
        score_ = addweighted(score_, found, r.weight, 1);
        if (how_.hits) how_.hits->add(r.pattern, std::time(nullptr));
        if (!r.exact && !(planned && capitalsabsent(plan))) {
            cbuf upper(ucstrndup(pattern, r.pattern.size()));
            capitals = unfolded().count({upper.get(), 2 * i + 1, r.line});
            score_ = addweighted(score_, capitals, r.weight, 2);
        }
        sink_.hit({r.line, pattern, r.weight, r.exact, found, capitals, before, score_});
    }

    // Only rules that hit need the text as it is.
    patterncounter& unfolded() {
        if (inunfolded_) return *inunfolded_;
        inunfolded_.emplace(message_.text, how_.straightforward, how_.profile, budget_, sink_,
                            rules_.store.get());
        stopwatch w(how_.profile ? &how_.profile->search : nullptr);
        inunfolded_->primeliterals(capitalsof(infolded_.primedliterals()));
        return *inunfolded_;
    }

    const ruleset::impl& rules_;
    mailtext message_;
    evalsink& sink_;
    const scoring& how_;
    bool debug_;
    const compiledrules* form_;
    workbudget budget_;
    patterncounter infolded_;
    std::optional<patterncounter> inunfolded_;
    // What the prefilter flags in the folded text.
    std::optional<std::vector<bool>> flagged_;
    int score_ = 0;
};

}  // namespace

int score(const ruleset& rules, mailtext message, evalsink& sink, const scoring& how) {
    const int total = scorer(*rules.impl_, message, sink, how).run();
    // A read error ends the rules read so far like the end of the file.
    if (rules.readfailed()) sink.readfailed(evalsink::file::rules);
    return total;
}

}  // namespace pst
