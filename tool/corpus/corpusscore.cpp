#include "corpus/corpusscore.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "counting/search.h"
#include "evaluate.h"
#include "holders.h"
#include "input.h"
#include "messagenotes.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

// What one evaluation showed: the hits, the diagnostics the plugin would
// have written, and whether it could finish.
class collector final : public evalsink {
   public:
    collector(scoredmessage& into, diagnostictexts& texts) : into_(into), texts_(texts) {}

    void message(const read& m) override {
        into_.headerended = m.headerended;
        into_.encoded = isencoded(m);
    }
    // Memory running out while collecting ends the evaluation as it does
    // inside it: the message is reported, not scored.
    void hit(const rulehit& h) override try {
        into_.hits.push_back(
            {h.line, h.found, h.capitals,
             static_cast<int>(static_cast<unsigned>(h.after) - static_cast<unsigned>(h.before))});
    } catch (const std::bad_alloc&) {
        outofmemory(nomemory);
    }
    void compilefailed(const char* pattern, int line) override try {
        into_.diagnostics.push_back(
            {line, texts_.hold(std::string("#Error: Regexp compile error on ") + pattern)});
    } catch (const std::bad_alloc&) {
        outofmemory(nomemory);
    }
    void searchfailed(int rc, const char* pattern, int line) override try {
        into_.diagnostics.push_back(
            {line, texts_.hold("#Error in rex_rc: " + std::to_string(rc) + " reading " + pattern)});
    } catch (const std::bad_alloc&) {
        outofmemory(nomemory);
    }
    void cannotopen(file) override { into_.error = "cannot open it"; }
    void readfailed(file which) override {
        into_.error = which == file::message ? "read error" : "read error in the rule file";
    }
    void exhausted(const char*) override { into_.error = nomemory; }

   private:
    scoredmessage& into_;
    diagnostictexts& texts_;
};

// The message as a descriptor the evaluation reads from its start.
// A message of an mbox is read only now, so that no more than the messages
// being scored are held.
fdholder openmessage(const savedmessage& m, std::string& error) {
    if (!m.inmbox) {
        fdholder fd(openforreading(m.path.c_str()));
        if (!fd) error = std::strerror(errno);
        return fd;
    }
    const std::string content = readmboxmessage(m, error);
    if (!error.empty()) return fdholder();
    fdholder fd = memorycopy(content);
    if (!fd) error = std::strerror(errno);
    return fd;
}

// Adds c to the costs of its line in bylines.
void addto(std::vector<rulecost>& bylines, const rulecost& c) {
    const auto i = static_cast<size_t>(c.line);
    if (i >= bylines.size()) bylines.resize(i + 1);
    rulecost& into = bylines[i];
    into.line = c.line;
    into.seconds += c.seconds;
    into.most = std::max(into.most, c.most);
    into.cut += c.cut;
}

// Each rule's work over one worker's messages, indexed by line.
class costtally {
   public:
    // Memory running out here costs the report this message's work, not
    // the run.
    void add(const std::vector<rulework>& work, double cpu, double wall) noexcept try {
        // The rules are timed on the monotonic clock, which costs a few
        // nanoseconds; the thread's CPU clock, which costs a system call, is
        // read once per message, and takes out the time the thread waited.
        const double scale = wall > 0 && cpu < wall ? cpu / wall : 1;
        for (const rulework& w : work) {
            const double seconds = static_cast<double>(w.nanoseconds) * 1e-9 * scale;
            addto(bylines_, {w.line, seconds, seconds, w.cut ? 1 : 0});
        }
    } catch (const std::bad_alloc&) {
    }
    void mergeinto(std::vector<rulecost>& all) const noexcept try {
        for (const rulecost& c : bylines_)
            if (c.line) addto(all, c);
    } catch (const std::bad_alloc&) {
    }

   private:
    std::vector<rulecost> bylines_;
};

void scoreone(const savedmessage& m, const ruleset& rules, scoredmessage& out,
              diagnostictexts& texts, costtally* costs) {
    const fdholder message = openmessage(m, out.error);
    if (!message) return;
    collector sink(out, texts);
    evaloptions options;
    options.sink = &sink;
    std::vector<rulework> work;
    if (costs) options.work = &work;
    workclock& clock = systemclock();
    const uint64_t cpu = costs ? clock.cpu() : 0;
    const auto began = std::chrono::steady_clock::now();
    // As the plugin scores without the debug marker; nothing is recorded.
    out.score = evaluate(rules, message.get(), 0, nullptr, options);
    if (costs) {
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - began;
        costs->add(work, static_cast<double>(clock.cpu() - cpu) * 1e-9, wall.count());
    }
    out.scored = out.error.empty();
    if (!out.scored) out.hits.clear();
    // Each once: a pattern without letters gives the same line in both passes.
    std::vector<messagediagnostic>& d = out.diagnostics;
    std::sort(d.begin(), d.end());
    d.erase(std::unique(d.begin(), d.end()), d.end());
}

// "[#####     ] 1234/24800 messages, 6700/s, 4 s left" while the run lasts, on
// a terminal only; the rate and the time left once half a second has shown
// them.
std::string progresstext(size_t done, size_t total, double seconds) {
    constexpr int width = 30;
    const int filled = total ? static_cast<int>(done * width / total) : width;
    char text[160];
    int n = std::snprintf(text, sizeof text, "[%.*s%*s] %zu/%zu messages", filled,
                          "##############################", width - filled, "", done, total);
    if (seconds < 0.5 || done == 0 || n < 0) return text;
    const double rate = static_cast<double>(done) / seconds;
    const long left = std::lround(static_cast<double>(total - done) / rate);
    const auto size = sizeof text - static_cast<size_t>(n);
    if (left >= 60)
        std::snprintf(text + n, size, ", %.0f/s, %ld min %ld s left", rate, left / 60, left % 60);
    else
        std::snprintf(text + n, size, ", %.0f/s, %ld s left", rate, left);
    return text;
}

class progressline {
   public:
    explicit progressline(size_t total)
        : total_(total),
          shown_(::isatty(STDERR_FILENO)),
          began_(std::chrono::steady_clock::now()) {}
    void show(size_t done) const {
        if (!shown_) return;
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began_;
        // Cleared to the line's end: the text may get shorter.
        std::fprintf(stderr, "\r%s\033[K", progresstext(done, total_, elapsed.count()).c_str());
        std::fflush(stderr);
    }
    ~progressline() {
        if (shown_) std::fputs("\r\033[K", stderr);
    }

   private:
    size_t total_;
    bool shown_;
    std::chrono::steady_clock::time_point began_;
};

}  // namespace

scoringrun scoreall(const std::vector<savedmessage>& messages, const ruleset& rules, unsigned jobs,
                    bool timed) {
    scoringrun run;
    run.results.resize(messages.size());
    if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(1, messages.size())));
    std::atomic<size_t> next{0}, done{0};
    std::mutex lock;
    auto worker = [&] {
        costtally costs;
        for (size_t i; (i = next++) < messages.size(); ++done)
            scoreone(messages[i], rules, run.results[i], *run.texts, timed ? &costs : nullptr);
        std::lock_guard<std::mutex> hold(lock);
        costs.mergeinto(run.costs);
    };
    progressline progress(messages.size());
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < jobs; ++j) threads.emplace_back(worker);
    while (done < messages.size()) {
        progress.show(done);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& t : threads) t.join();
    // Lines that hold no rule are no rule's costs.
    std::erase_if(run.costs, [](const rulecost& c) { return c.line == 0; });
    return run;
}

}  // namespace pst
