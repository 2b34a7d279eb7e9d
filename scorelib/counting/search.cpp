#include "counting/search.h"

#include <cstring>
#include <new>

#include "fastpath/skippolicy.h"
#include "system/outofmemory.h"

namespace pst {

// The defaults are set when the library is built (CMake cache variables).
#ifndef POSTSENTINEL_FREE_WORK
#define POSTSENTINEL_FREE_WORK 1000
#endif
#ifndef POSTSENTINEL_SEARCH_BUDGET
#define POSTSENTINEL_SEARCH_BUDGET 100000000
#endif
#ifndef POSTSENTINEL_SEARCH_GUARANTEE
#define POSTSENTINEL_SEARCH_GUARANTEE 10000000
#endif
#ifndef POSTSENTINEL_MESSAGE_BUDGET
#define POSTSENTINEL_MESSAGE_BUDGET 1000000000
#endif
#ifndef POSTSENTINEL_MATCHER_MEMORY_MIB
#define POSTSENTINEL_MATCHER_MEMORY_MIB 192
#endif

searchlimits searchlimits::defaults() {
    return searchlimits{POSTSENTINEL_FREE_WORK,
                        POSTSENTINEL_SEARCH_BUDGET,
                        POSTSENTINEL_SEARCH_GUARANTEE,
                        POSTSENTINEL_MESSAGE_BUDGET,
                        size_t{POSTSENTINEL_MATCHER_MEMORY_MIB} << 20,
                        primedtextsize,
                        primedliteralcount};
}

uint64_t workbudget::allowance() const {
    const uint64_t fair = left_ > limits_.guaranteed ? left_ : limits_.guaranteed;
    return fair < limits_.search ? fair : limits_.search;
}

namespace {

// Backtracking control verbs ("(*COMMIT)", "(*SKIP)", ...) and "\G" make a
// match depend on where the library's loop started, not only on the start
// position: such a pattern is searched by the library's own loop alone,
// bounded only per start position.
bool positionindependent(std::string_view pattern) {
    return pattern.find("(*") == std::string_view::npos &&
           pattern.find("\\G") == std::string_view::npos;
}

unsigned char othercase(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
    return c;
}

struct search {
    search(regexmatcher& matcher, std::string_view t, bool positional, uint64_t free,
           uint64_t library, uint64_t budget, const searchplan* p)
        : m(matcher),
          text(t),
          bypositions(positional),
          freework(free),
          librarylimit(library),
          allowance(budget),
          plan(p) {}

    regexmatcher& m;
    std::string_view text;
    bool bypositions;
    // Only an option setting such as "(?i)" makes the first byte match in
    // either case.
    bool foldfirst = false;
    uint64_t freework, librarylimit, allowance;
    const searchplan* plan;
    uint64_t spent = 0;
    bool cut = false;
    int count = 0;
    // The count's library loop started at origin; after a costly position it
    // goes on at start, as the library's loop would have.
    size_t origin = 0, start = 0;

    // The run of match bytes last measured, for the inline charge.
    size_t runfrom = 1, runend = 0;
    // The occurrence of a required literal that the positions being tried
    // can reach, and the first of them.
    bool window = false;
    size_t windowfrom = 0, windowend = 0;
    std::vector<size_t> nextoccurrence;

    // Whether the library's own loop, started at origin, may run its matcher
    // at p; positions it skips cannot match there.
    bool maystart(size_t p) const {
        const startpositions& s = m.starts();
        if (s.anchored) return p == origin;
        if (s.startline) return p == origin || text[p - 1] == '\n';
        if (p == text.size()) return true;
        const auto c = static_cast<unsigned char>(text[p]);
        if (s.first >= 0) return c == s.first || (foldfirst && othercase(c) == s.first);
        if (s.hasbitmap) return (s.bitmap[c >> 3] >> (c & 7)) & 1;
        return true;
    }

    // Where the library's loop goes on after a start position that failed.
    bool nextstart(size_t failed, size_t& next) const {
        const startpositions& s = m.starts();
        if (s.anchored || failed >= text.size()) return false;
        if (!s.startline) {
            next = failed + 1;
            return true;
        }
        const void* nl = std::memchr(text.data() + failed, '\n', text.size() - failed);
        if (!nl) return false;
        next = static_cast<size_t>(static_cast<const char*>(nl) - text.data()) + 1;
        return true;
    }

    // A match found by a search from origin: counted, or the end of the count.
    // Only a match that does not end beyond origin would be found again and
    // again; one that starts after its end (\K in a lookahead) but ends
    // beyond origin moves the count on like any other.
    int accept(size_t, size_t mend) {
        if (mend <= origin) return regexstuckmatch;
        ++count;
        origin = start = mend;
        return 1;
    }

    bool charge(uint64_t work) {
        if (work > allowance - spent) {
            spent = allowance;
            cut = true;
            return false;
        }
        spent += work;
        return true;
    }

    // The costly start position at q, under limits that double up to the
    // library's own, the one that suffices charged: the charge is at most
    // twice the work done, and the work repeated at most as much again.
    int costly(size_t q, unsigned long depth) {
        uint64_t level = freework;
        for (;;) {
            level = level > librarylimit / 2 ? librarylimit : level * 2;
            const uint64_t left = allowance - spent;
            const uint64_t limit = level < left ? level : left;
            size_t mstart = 0, mend = 0;
            const int rc = limit > freework ? m.exec(text, q, true, limit, depth, mstart, mend)
                                            : regexmatchlimit;
            if (rc == regexrecursionlimit) return rc;  // resumed here on a deeper stack
            spent += limit > freework ? limit : 0;
            if (rc == regexmatchlimit) {
                if (limit == librarylimit) return rc;  // the library's own limit
                if (limit < level) {
                    cut = true;
                    return rc;
                }
                continue;
            }
            if (rc > 0) return accept(mstart, mend);
            if (rc != regexnomatch) return rc;
            if (!nextstart(q, start)) return regexnomatch;
            return 1;
        }
    }

    // Runs the library's own loop from start with the free work per position;
    // when a position needs more, finds it by trying the positions one by one
    // and gives it the work it needs, charged. Returns 1 to go on.
    int loopstep(unsigned long depth) {
        size_t mstart = 0, mend = 0;
        if (!bypositions) {
            const int rc = m.exec(text, start, false, librarylimit, depth, mstart, mend);
            return rc > 0 ? accept(mstart, mend) : rc;
        }
        // The library's loop would try the positions before the first one
        // that can reach an occurrence in vain: it starts there instead, and
        // the count ends after the last occurrence.
        if (plan && plan->required && !m.starts().anchored && !m.starts().startline) {
            size_t first = 0;
            if (!candidate(start, first)) return regexnomatch;
            start = first;
        }
        const int rc = m.exec(text, start, false, freework, depth, mstart, mend);
        if (rc > 0) return accept(mstart, mend);
        if (rc != regexmatchlimit) return rc;
        // The positions before the costly one held no match: the library's
        // loop would have returned it first.
        const size_t last = m.starts().anchored ? start : text.size();
        for (size_t p = start; p <= last; ++p) {
            if (!maystart(p)) continue;
            const int at = m.exec(text, p, true, freework, depth, mstart, mend);
            if (at == regexnomatch) continue;
            if (at > 0) return accept(mstart, mend);
            if (at != regexmatchlimit) return at;
            return costly(p, depth);
        }
        // Not found where the library's loop found it: taken as the budget's
        // end rather than searched without one.
        cut = true;
        return regexmatchlimit;
    }

    bool inmatch(size_t p) const {
        return p < text.size() && plan->matchbytes.test(static_cast<unsigned char>(text[p]));
    }
    bool inscan(size_t p) const {
        return p < text.size() && plan->scanset.test(static_cast<unsigned char>(text[p]));
    }

    // The bytes a start position at p may scan without the library counting
    // them: the run its leading repeat scans, where that is long.
    uint64_t inlinework(size_t p) {
        if (!plan || !plan->scans) return 0;
        const size_t from = p + plan->scanoffset;
        if (!inscan(from)) return 0;
        if (from < runfrom || from >= runend) {
            runfrom = runend = from;
            while (inscan(runend)) ++runend;
        }
        const uint64_t rest = runend - from;
        return rest > freework ? rest : 0;
    }

    // The next occurrence of a required literal at or after from.
    bool occurrence(size_t from, size_t& at) {
        constexpr size_t unknown = std::string::npos - 1;
        const auto& literals = *plan->required;
        if (nextoccurrence.empty()) nextoccurrence.resize(literals.size(), unknown);
        bool found = false;
        for (size_t i = 0; i < literals.size(); ++i) {
            size_t& next = nextoccurrence[i];
            if (next == std::string::npos) continue;
            if (next == unknown || next < from) {
                const void* hit = from < text.size()
                                      ? memmem(text.data() + from, text.size() - from,
                                               literals[i].data(), literals[i].size())
                                      : nullptr;
                next = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data())
                           : std::string::npos;
                if (next == std::string::npos) continue;
            }
            if (!found || next < at) at = next;
            found = true;
        }
        return found;
    }

    // The next start position at or after from that may hold a match.
    bool candidate(size_t from, size_t& p) {
        if (m.starts().anchored && from > origin) return false;
        if (!plan->required) {
            for (; from <= text.size(); ++from)
                if (maystart(from)) {
                    p = from;
                    return true;
                }
            return false;
        }
        for (;;) {
            if (!window || from > windowend) {
                size_t at = 0;
                if (!occurrence(from, at)) return false;
                // A match holding this occurrence lies inside one run of
                // match bytes: it cannot start before the run does.
                size_t first = at;
                while (first > from && inmatch(first - 1)) --first;
                window = true;
                windowfrom = first;
                windowend = at;
            }
            for (size_t q = from > windowfrom ? from : windowfrom; q <= windowend; ++q)
                if (maystart(q)) {
                    p = q;
                    return true;
                }
            from = windowend + 1;
            window = false;
        }
    }

    // Tries the start positions one by one, each charged the bytes it may
    // scan, as the library's loop would reach them. Returns 1 to go on.
    int positionstep(unsigned long depth) {
        size_t p = 0;
        if (!candidate(start, p)) return regexnomatch;
        if (!charge(inlinework(p))) return regexmatchlimit;
        size_t mstart = 0, mend = 0;
        const int rc = m.exec(text, p, true, freework, depth, mstart, mend);
        if (rc > 0) return accept(mstart, mend);
        if (rc == regexmatchlimit) return costly(p, depth);
        if (rc != regexnomatch) return rc;
        if (!nextstart(p, start)) return regexnomatch;
        return 1;
    }

    // Whether the positions are tried one by one: where the run that the
    // leading repeat scans is long enough somewhere to be charged.
    bool stepwise() { return plan && bypositions && plan->scans && plan->longestscan > freework; }

    static int run(void* arg, unsigned long depth) {
        auto* s = static_cast<search*>(arg);
        const bool stepping = s->stepwise();
        for (;;) {
            const int rc = stepping ? s->positionstep(depth) : s->loopstep(depth);
            if (rc != 1) return rc;
        }
    }
};

}  // namespace

int searchcount(const regexcode& re, const char* pattern, std::string_view text, workbudget& budget,
                int& count, const searchplan* plan) {
    const searchlimits& limits = budget.limits();
    regexmatcher m(re, limits.matchermemory + text.size());
    const uint64_t librarylimit = regexdefaultmatchlimit();
    search s(m, text, positionindependent(pattern),
             limits.freework < librarylimit ? limits.freework : librarylimit, librarylimit,
             budget.allowance(), plan);
    s.foldfirst = std::string_view(pattern).find("(?") != std::string_view::npos;
    if (plan && plan->required) try {
            s.nextoccurrence.reserve(plan->required->size());
        } catch (const std::bad_alloc&) {
            outofmemory("malloc failed in pstlib:countmatches!\n");
        }
    const int rc = rundeep(limits.matchermemory + text.size(), search::run, &s);
    budget.spend(s.spent);
    if (s.cut) budget.cut();
    count += s.count;
    return rc;
}

}  // namespace pst
