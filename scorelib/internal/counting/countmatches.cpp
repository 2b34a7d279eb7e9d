#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "counting/counter.h"
#include "counting/regexbackend.h"
#include "counting/search.h"
#include "evaluate.h"
#include "fastpath/skippolicy.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

// The library takes an int length; a text beyond 2 GiB is searched in its
// first INT_MAX bytes rather than under a wrapped length.
std::string_view searchable(std::string_view text) {
    return text.size() > INT_MAX ? text.substr(0, INT_MAX) : text;
}

regexholder compilepattern(const char* pattern, evalsink& sink) {
    // Nothing is known of the pattern here: its search is watched inside
    // every start position.
    regexholder re = compileregex(pattern, watch::items);
    if (!re) sink.compilefailed(pattern, 0);
    return re;
}

int countcompiled(const regexcode& re, std::string_view text, patternref pattern, evalsink& sink,
                  workbudget& budget, const searchplan* plan = nullptr) {
    int count = 0;
    const int rc = searchcount(re, pattern.text, text, budget, count, plan);
    // A search the library could not get memory for would change the score
    // silently if it were counted as ended.
    if (rc == regexnomemory) outofmemory(nomemoryforsearch);
    // 0 means the match set more groups than are reported.
    if (rc != regexnomatch) sink.searchfailed(rc, pattern.text, pattern.line);
    return count;
}

}  // namespace

patterncounter::patterncounter(std::string_view text, bool straightforward, evalprofile* profile,
                               workbudget& budget, evalsink& sink, patternstore* store)
    : text_(searchable(text)),
      straightforward_(straightforward),
      profile_(profile),
      budget_(budget),
      sink_(sink),
      store_(store),
      index_(text_) {}

void patterncounter::prime(const std::vector<patternref>& patterns) {
    if (straightforward_ || text_.size() < budget_.limits().primedtext) return;
    try {
        std::vector<std::string> literals;
        for (const patternref ref : patterns) {
            const std::string_view p(ref.text);
            if (isliteral(p)) {
                literals.emplace_back(p);
                continue;
            }
            const patternshape* shape = nullptr;
            if (store_ && ref.slot != patternref::noslot) {
                shape = &store_->shapeof(ref.slot, p);
            } else {
                auto [it, fresh] = shapes_.try_emplace(p);
                if (fresh) it->second = analyse(p);
                shape = &it->second;
            }
            for (const std::string& l : shape->required) literals.push_back(l);
        }
        primeliterals(std::move(literals));
    } catch (const std::bad_alloc&) {
        shapes_.clear();  // each pattern is analysed when it is counted
    }
}

void patterncounter::primeliterals(std::vector<std::string> literals) {
    if (straightforward_ || text_.size() < budget_.limits().primedtext ||
        literals.size() < budget_.limits().primedliterals)
        return;
    try {
        index_.prime(literals);
        literals_ = std::move(literals);
    } catch (const std::bad_alloc&) {
        literals_.clear();
    }
}

const patternshape& patterncounter::shapefor(patternref pattern, patternshape& owned) {
    const std::string_view p(pattern.text);
    if (store_ && pattern.slot != patternref::noslot) return store_->shapeof(pattern.slot, p);
    if (const auto it = shapes_.find(p); it != shapes_.end()) return it->second;
    owned = analyse(p);
    return owned;
}

route patterncounter::plan(patternref pattern, patternshape& owned,
                           const patternshape*& shape) try {
    shape = &shapefor(pattern, owned);
    return chooseroute(*shape, index_, straightforward_);
} catch (const std::bad_alloc&) {
    return route::library;  // without memory for the analysis, the library searches
}

bool patterncounter::needswatch(const patternshape& shape) noexcept try {
    if (!shape.simple) return true;
    const uint64_t bound = workbound(shape, index_);
    const uint64_t positions = text_.size() + 1;
    if (bound == UINT64_MAX || bound > UINT64_MAX / positions / nanosecondsperunit) return true;
    return bound * positions * nanosecondsperunit > budget_.allowance() / 2;
} catch (const std::bad_alloc&) {
    return true;
}

watch patterncounter::watchfor(std::string_view pattern, route r,
                               const patternshape& shape) noexcept try {
    if (r == route::none) return watch::none;
    if (watchitems(pattern, shape, index_)) return watch::items;
    return r == route::restricted || needswatch(shape) ? watch::starts : watch::none;
} catch (const std::bad_alloc&) {
    return watch::items;
}

bool patterncounter::certainlyzero(const skipfacts& facts) {
    // Once the message's budget is spent the form is asked nothing more: the
    // rules are counted as without one, each search within its guarantee.
    if (straightforward_ || budget_.exhausted()) return false;
    stopwatch w(profile_ ? &profile_->search : nullptr);
    const uint64_t before = index_.work();
    const bool zero = noneoccurs(facts);
    // The questions a form asks cost time in proportion to the text, as a
    // search does: they are charged to the message's budget by the work
    // counted, which keeps the charge the same on a busy machine.
    budget_.spend((index_.work() - before) * nanosecondsperworkunit);
    return zero;
}

bool patterncounter::noneoccurs(const skipfacts& facts) {
    if (facts.run() != UINT64_MAX)
        for (uint32_t i = 0; i < facts.runsets(); ++i)
            if (index_.longestrun(facts.runset(i)) > facts.run()) return false;
    for (uint32_t i = 0; i < facts.literals(); ++i)
        if (index_.contains(facts.literal(i))) return false;
    return true;
}

const regexcode* patterncounter::compiled(patternref pattern, watch how, regexholder& owned) {
    stopwatch w(profile_ ? &profile_->compile : nullptr);
    if (store_ && pattern.slot != patternref::noslot)
        return store_->compiled(pattern.slot, pattern.text, how);
    owned = compileregex(pattern.text, how);
    return owned.get();
}

int patterncounter::count(patternref ref) {
    const std::string_view p(ref.text);
    if (!straightforward_ && p.size() <= shortliteral && isliteral(p)) {
        stopwatch w(profile_ ? &profile_->search : nullptr);
        return index_.countliteral(p);
    }
    // Without metacharacters the library matches the bytes themselves,
    // leftmost first, each search starting where the last match ended, and
    // never calls its matcher more than once at a position.
    const bool literal = !straightforward_ && isliteral(p);
    // A rule of ordinary length is analysed before it is compiled, so that
    // it is compiled with the callouts its search needs; a long one is
    // compiled as it is first, and again with the callouts once the analysis
    // says which its search needs.
    const bool analysedfirst = !literal && p.size() <= analysedbeforecompile;
    patternshape analysed;
    const patternshape* shape = &analysed;
    route r = route::none;
    searchplan sp;
    sp.how = watch::none;
    if (analysedfirst) {
        stopwatch w(profile_ ? &profile_->search : nullptr);
        r = plan(ref, analysed, shape);
        sp.how = watchfor(p, r, *shape);
    }
    regexholder owned;
    // Every pattern is compiled, so that compile errors are reported exactly
    // as the library sees them, whatever the search does; a search without
    // the watch is compiled without callouts.
    const regexcode* re = compiled(ref, sp.how, owned);
    if (!re) {
        sink_.compilefailed(ref.text, ref.line);
        return 0;
    }
    if (literal) {
        stopwatch w(profile_ ? &profile_->search : nullptr);
        return index_.countliteral(p);
    }
    regexholder ownedwatched;
    if (!analysedfirst) {
        {
            stopwatch w(profile_ ? &profile_->search : nullptr);
            r = plan(ref, analysed, shape);
        }
        // A long pattern is watched at least at its start positions.
        watch how = watchfor(p, r, *shape);
        if (how == watch::none && r != route::none) how = watch::starts;
        const regexcode* watched = how != watch::none ? compiled(ref, how, ownedwatched) : nullptr;
        if (watched) re = watched;
        sp.how = watched ? how : watch::none;
    }
    stopwatch w(profile_ ? &profile_->search : nullptr);
    if (r == route::none) return 0;
    if (r == route::restricted) {
        sp.matchbytes = shape->matchbytes;
        sp.longestmatch = shape->longestmatch;
        sp.required = &shape->required;
    }
    return countcompiled(*re, text_, ref, sink_, budget_, &sp);
}

int countonce(std::string_view text, const char* pattern, evalsink& sink) {
    const regexholder re = compilepattern(pattern, sink);
    if (!re) return 0;
    workbudget budget(searchlimits::defaults());
    return countcompiled(*re, searchable(text), {pattern}, sink, budget);
}

}  // namespace pst
