#include "counting/search.h"

#include <time.h>

#include <cstring>
#include <new>
#include <optional>

#include "fastpath/skippolicy.h"
#include "system/outofmemory.h"

namespace pst {

// The defaults are set when the library is built (CMake cache variables).
#ifndef POSTSENTINEL_SEARCH_BUDGET_MS
#define POSTSENTINEL_SEARCH_BUDGET_MS 900
#endif
#ifndef POSTSENTINEL_SEARCH_GUARANTEE_MS
#define POSTSENTINEL_SEARCH_GUARANTEE_MS 1
#endif
#ifndef POSTSENTINEL_MESSAGE_BUDGET_MS
#define POSTSENTINEL_MESSAGE_BUDGET_MS 8000
#endif
#ifndef POSTSENTINEL_MATCHER_MEMORY_MIB
#define POSTSENTINEL_MATCHER_MEMORY_MIB 192
#endif

namespace {

constexpr uint64_t millisecond = 1'000'000;
// Below this allowance a search reads the fine clock: the cheap one ticks
// every 4 ms on most kernels.
constexpr uint64_t finebelow = 20 * millisecond;
// While the cheap clock shows no tick between readings, it is read at every
// second, then every fourth start position only: the reading costs as much
// as a cheap position. A position costs at most a slice of the allowance
// (the item callouts see to that where the analysis cannot), so a search
// runs at most four slices past its allowance.
constexpr unsigned maxstride = 4;
// Inside a position the clock is read once the matcher has passed this many
// units of work: an item callout counts as itemunit, and every byte that the
// position in the text moves by between two of them as one (a repeat that
// scans the text moves it). About 50 µs of matching at most.
constexpr uint64_t itemunit = 64;
constexpr uint64_t itemreading = uint64_t{1} << 16;
// What the guarantees of the searches after the message's budget may take
// together: after that a search ends at its first start position, so that a
// message of many costly rules still ends within its budget and a second.
constexpr uint64_t overdraftlimit = 500 * millisecond;
// Where the thread's CPU clock cannot be read, a search ends after this many
// times its allowance of wall time.
constexpr uint64_t wallcap = 4;

uint64_t readclock(clockid_t id) {
    timespec t{};
    if (clock_gettime(id, &t) != 0) return 0;
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(t.tv_nsec);
}

class coarseclock final : public workclock {
   public:
    uint64_t cheap() override { return readclock(CLOCK_MONOTONIC_COARSE); }
    uint64_t fine() override { return readclock(CLOCK_MONOTONIC); }
    uint64_t cpu() override { return readclock(CLOCK_THREAD_CPUTIME_ID); }
};

}  // namespace

workclock& systemclock() {
    // Holds no state: both readings come from the kernel.
    static coarseclock clock;
    return clock;
}

searchlimits searchlimits::defaults() {
    return searchlimits{uint64_t{POSTSENTINEL_SEARCH_BUDGET_MS} * millisecond,
                        uint64_t{POSTSENTINEL_SEARCH_GUARANTEE_MS} * millisecond,
                        uint64_t{POSTSENTINEL_MESSAGE_BUDGET_MS} * millisecond,
                        size_t{POSTSENTINEL_MATCHER_MEMORY_MIB} << 20,
                        primedtextsize,
                        primedliteralcount,
                        overdraftlimit,
                        nullptr};
}

uint64_t workbudget::allowance() const {
    if (left_ == 0 && overdrawn_ >= limits_.overdraft) return 0;
    const uint64_t fair = left_ > limits_.guaranteed ? left_ : limits_.guaranteed;
    return fair < limits_.search ? fair : limits_.search;
}

uint64_t workbudget::cpuseen() {
    const uint64_t t = clock_.cheap();
    if (t != cpuseenat_) {
        cpuseenat_ = t;
        sawcpu(clock_.cpu());
    }
    return cpuseen_;
}

void workbudget::spend(uint64_t work) {
    if (work > left_) overdrawn_ += work - left_;
    left_ = work > left_ ? 0 : left_ - work;
}

namespace {

// Backtracking control verbs ("(*COMMIT)", "(*SKIP)", ...) and "\G" make a
// match depend on where the library's loop started, not only on the start
// position: such a pattern is searched from where the count stands, never
// from a later position.
bool positionindependent(std::string_view pattern) {
    return pattern.find("(*") == std::string_view::npos &&
           pattern.find("\\G") == std::string_view::npos;
}

// The CPU time of one search, read as cheaply as the search's length allows:
// a search shorter than a tick of the cheap clock never reads the CPU clock.
// A search too deep for the caller's stack goes on on a thread of its own,
// whose CPU clock starts again: each stretch is timed on its own thread.
//
// The cheap clock is wall time: while the process waits for the processor
// it runs on, so the CPU clock decides every cut and every charge. Before
// the CPU clock is first read in a stretch, the search is charged the wall
// time or the CPU time since the thread's clock was last read, whichever is
// less: a search preempted on a busy machine is charged what it worked.
class searchtimer {
   public:
    // basecpu: a reading of the calling thread's CPU clock from before the
    // search began (0 when there is none).
    searchtimer(workclock& clock, uint64_t allowance, uint64_t basecpu)
        : clock_(clock), allowance_(allowance), base_(basecpu), seen_(basecpu) {}

    void start() {
        running_ = true;
        began_ = last_ = now();
        stride_ = countdown_ = 1;
        marked_ = false;
        deadline_ = allowance_ > carried_ ? allowance_ - carried_ : 0;
    }
    void stop() {
        const uint64_t t = now();
        if (!marked_ && t != began_) mark(t);
        carried_ = spent();
        running_ = false;
        // A later stretch runs on a thread of its own, whose clock starts at 0.
        if (stretches_++ == 0 && marked_) seen_ = lastcpu_;
        base_ = 0;
    }

    // At a start position: false once the search has spent its allowance.
    bool within() {
        if (--countdown_ > 0) return true;
        const uint64_t t = now();
        stride_ = t != last_ ? 1 : stride_ < maxstride ? stride_ * 2 : maxstride;
        countdown_ = stride_;
        return check(t);
    }
    // Inside a position: false once the search has spent its allowance.
    bool withinposition() {
        countdown_ = stride_ = 1;
        return check(now());
    }

    uint64_t spent() const {
        if (!running_) return carried_;
        if (!marked_) return carried_ + (now() - began_);
        return carried_ + premark_ + sincemark();
    }
    // The calling thread's CPU clock as last read by this search.
    uint64_t cpuseen() const { return seen_; }

   private:
    bool check(uint64_t t) {
        last_ = t;
        if (!marked_ && t != began_) mark(t);
        if (t - began_ < deadline_) return true;
        const uint64_t used = spent();
        if (used >= allowance_) return false;
        if (!cpuknown_ && t - began_ >= wallcap * allowance_) return false;
        // Preempted rather than working: the wall time goes on, the CPU
        // time has some way to go.
        deadline_ = t - began_ + (allowance_ - used);
        return true;
    }

    void mark(uint64_t t) {
        marked_ = true;
        markcpu_ = lastcpu_ = clock_.cpu();
        cpuknown_ = markcpu_ != 0;
        const uint64_t wall = t - began_;
        const uint64_t cpu = markcpu_ > base_ ? markcpu_ - base_ : 0;
        premark_ = cpuknown_ && cpu < wall ? cpu : wall;
    }

    uint64_t sincemark() const {
        const uint64_t cpu = clock_.cpu();
        lastcpu_ = cpu;
        return cpu > markcpu_ ? cpu - markcpu_ : 0;
    }

    uint64_t now() const { return allowance_ < finebelow ? clock_.fine() : clock_.cheap(); }

    workclock& clock_;
    uint64_t allowance_, base_, seen_, carried_ = 0, began_ = 0, deadline_ = 0, last_ = 0;
    unsigned stride_ = 1, countdown_ = 1, stretches_ = 0;
    bool running_ = false, marked_ = false, cpuknown_ = true;
    uint64_t premark_ = 0, markcpu_ = 0;
    mutable uint64_t lastcpu_ = 0;
};

// The positions from which a match may reach an occurrence of a required
// literal: windows that end at an occurrence and start where the run of
// match bytes holding it starts, or as far before it as the longest match
// reaches, whichever is later.
class windows {
   public:
    windows(std::string_view text, const searchplan& plan) : text_(text), plan_(plan) {
        try {
            next_.resize(plan.required->size(), unknown);
        } catch (const std::bad_alloc&) {
            outofmemory(nomemoryforsearch);
        }
        // A later occurrence of a shorter literal may let a match start
        // earlier: the reach is that of the shortest.
        size_t shortest = SIZE_MAX;
        for (const std::string& l : *plan.required) shortest = std::min(shortest, l.size());
        if (plan.longestmatch != UINT64_MAX)
            reach_ = plan.longestmatch > shortest ? plan.longestmatch - shortest : 0;
    }

    // The first window that holds a position at or after from: false when
    // no occurrence lies at or after from.
    bool find(size_t from, size_t& start) {
        size_t at = 0;
        if (!occurrence(from, at)) return false;
        // A match holding this occurrence lies inside one run of match
        // bytes: it cannot start before the run does.
        const size_t earliest = at - from > reach_ ? at - reach_ : from;
        size_t first = at;
        while (first > earliest && inmatch(first - 1)) --first;
        start = first;
        end_ = at;
        return true;
    }
    // The last position of the window found last.
    size_t end() const { return end_; }

   private:
    static constexpr size_t unknown = std::string::npos - 1;

    bool inmatch(size_t p) const {
        return plan_.matchbytes.test(static_cast<unsigned char>(text_[p]));
    }

    // The next occurrence of a required literal at or after from.
    bool occurrence(size_t from, size_t& at) {
        const auto& literals = *plan_.required;
        bool found = false;
        for (size_t i = 0; i < literals.size(); ++i) {
            size_t& next = next_[i];
            if (next == std::string::npos) continue;
            if (next == unknown || next < from) {
                const void* hit = from < text_.size()
                                      ? memmem(text_.data() + from, text_.size() - from,
                                               literals[i].data(), literals[i].size())
                                      : nullptr;
                next = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text_.data())
                           : std::string::npos;
                if (next == std::string::npos) continue;
            }
            if (!found || next < at) at = next;
            found = true;
        }
        return found;
    }

    std::string_view text_;
    const searchplan& plan_;
    std::vector<size_t> next_;
    size_t end_ = 0;
    size_t reach_ = SIZE_MAX;  // how far before an occurrence a match may start
};

// A window this close ahead is reached by the library's loop rather than by
// a new search.
constexpr size_t nearwindow = 64;

// The library's own loop, from where the count stands, watched at every
// start position.
class search final : public startwatch {
   public:
    search(regexmatcher& m, std::string_view text, workbudget& budget, windows* w, bool watched)
        : m_(m),
          text_(text),
          timer_(budget.clock(), budget.allowance(), budget.cpuseen()),
          windows_(w),
          watched_(watched || w) {}

    bool startat(size_t position) override {
        item_ = position;
        if (windows_ && position > windows_->end()) {
            // The library goes on into a window close ahead at less cost
            // than a new search from its start.
            size_t next = 0;
            const bool found = windows_->find(position, next);
            if (!found || next - position > nearwindow) {
                skipped_ = true;
                resume_ = position;
                return false;
            }
        }
        if (timer_.within()) return true;
        cut_ = true;
        return false;
    }

    bool initem(size_t position) override {
        const size_t moved = position > item_ ? position - item_ : item_ - position;
        item_ = position;
        work_ += itemunit + moved;
        if (work_ < itemreading) return true;
        work_ = 0;
        if (timer_.withinposition()) return true;
        cut_ = true;
        return false;
    }

    static int run(void* arg, unsigned long depth) {
        auto* s = static_cast<search*>(arg);
        s->timer_.start();
        const int rc = s->loop(depth);
        s->timer_.stop();
        return rc;
    }

    int count() const { return count_; }
    bool cut() const { return cut_; }
    uint64_t spent() const { return timer_.spent(); }
    uint64_t cpuseen() const { return timer_.cpuseen(); }

   private:
    int loop(unsigned long depth) {
        for (;;) {
            size_t from = origin_;
            if (windows_ && !windows_->find(resume_, from)) return regexnomatch;
            skipped_ = false;
            size_t mstart = 0, mend = 0;
            const int rc = m_.exec(text_, from, depth, watched_ ? this : nullptr, mstart, mend);
            if (rc > 0) {
                // Only a match that does not end beyond where the count
                // stood would be found again and again; one that starts
                // after its end (\K in a lookahead) moves the count on.
                if (mend <= origin_) return regexstuckmatch;
                ++count_;
                origin_ = resume_ = mend;
                continue;
            }
            if (rc == regexstopped && skipped_) continue;  // no match before resume_
            if (rc == regexstopped && cut_) return regexmatchlimit;
            return rc;
        }
    }

    regexmatcher& m_;
    std::string_view text_;
    searchtimer timer_;
    windows* windows_;
    bool watched_;
    // Where the count's library loop started (the end of the last match),
    // and where the next window is looked for.
    size_t origin_ = 0, resume_ = 0;
    int count_ = 0;
    bool skipped_ = false, cut_ = false;
    // The work inside the position since the clock was last read, and where
    // the last item callout saw the matcher.
    uint64_t work_ = 0;
    size_t item_ = 0;
};

}  // namespace

int searchcount(const regexcode& re, const char* pattern, std::string_view text, workbudget& budget,
                int& count, const searchplan* plan, uint64_t* spent) {
    const searchlimits& limits = budget.limits();
    regexmatcher m(re, limits.matchermemory + text.size());
    std::optional<windows> w;
    if (plan && plan->required && positionindependent(pattern)) w.emplace(text, *plan);
    search s(m, text, budget, w ? &*w : nullptr, !plan || plan->how != watch::none);
    const int rc = rundeep(limits.matchermemory + text.size(), budget.stack(), search::run, &s);
    budget.spend(s.spent());
    budget.sawcpu(s.cpuseen());
    if (s.cut()) budget.cut();
    if (spent) *spent = s.spent();
    count += s.count();
    return rc;
}

}  // namespace pst
