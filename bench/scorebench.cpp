// Time per message of the fast and the straightforward evaluation over
// generated corpora, where the time goes, and the plugin's cost as a process.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "../tests/generator.h"
#include "corpus.h"
#include "counting/regexbackend.h"
#include "counting/search.h"
#include "evaluate.h"
#include "rules/compiledrules.h"
#include "rules/rule.h"
#include "rules/rulefile.h"

extern char** environ;

namespace {

void writefile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Generated files, made once per corpus.
struct files {
    std::string rules, message, stats;
};

const files& corpusfiles(int rules, size_t size, int hitpercent) {
    static std::map<std::tuple<int, size_t, int>, files> made;
    const auto key = std::make_tuple(rules, size, hitpercent);
    if (auto it = made.find(key); it != made.end()) return it->second;
    const std::string dir = std::filesystem::temp_directory_path() / "pstbench";
    std::filesystem::create_directories(dir);
    const std::string stem = dir + "/" + std::to_string(rules) + "-" + std::to_string(size) + "-" +
                             std::to_string(hitpercent);
    const auto c = benchcorpus::make(rules, size, hitpercent);
    files f{stem + ".rules", stem + ".eml", stem + ".STATS"};
    writefile(f.rules, c.rules);
    writefile(f.message, c.message);
    return made[key] = f;
}

void evaluation(benchmark::State& state, bool straightforward) {
    const int rules = static_cast<int>(state.range(0));
    const auto size = static_cast<size_t>(state.range(1));
    const int hitpercent = static_cast<int>(state.range(2));
    const files& f = corpusfiles(rules, size, hitpercent);
    writefile(f.stats, "");
    pst::evalprofile profile;
    pst::evaloptions options;
    options.straightforward = straightforward;
    options.profile = &profile;
    int score = 0;
    for (auto _ : state) {
        score = pst::evaluate(f.rules.c_str(), f.message.c_str(), 0, f.stats.c_str(), options);
        benchmark::DoNotOptimize(score);
    }
    const double n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["score"] = score;
    state.counters["read_ms"] = profile.read * 1000 / n;
    state.counters["fold_ms"] = profile.fold * 1000 / n;
    state.counters["compile_ms"] = profile.compile * 1000 / n;
    state.counters["search_ms"] = profile.search * 1000 / n;
    state.counters["stats_ms"] = profile.stats * 1000 / n;
}

// Shapes of hostile input, each run once: the plugin must stay bounded in
// time and memory on them.
struct hostileshape {
    const char* name;
    std::function<benchcorpus::corpus()> make;
};

const std::vector<hostileshape>& hostileshapes() {
    static const std::vector<hostileshape> shapes = {
        {"100MB_message", [] { return benchcorpus::make(20, 100 << 20, 2); }},
        {"50MB_single_line",
         [] {
             auto c = benchcorpus::make(20, 1024, 2);
             c.message = "Subject: x\n\n" + std::string(50 << 20, 'w') + "\n";
             return c;
         }},
        {"10MB_of_NUL_bytes",
         [] {
             auto c = benchcorpus::make(20, 1024, 2);
             c.message = "A: b\n\n" + std::string(10 << 20, '\0');
             return c;
         }},
        {"100000_rules", [] { return benchcorpus::make(100000, 100 << 10, 2); }},
        {"1MB_pattern",
         [] {
             auto c = benchcorpus::make(20, 100 << 10, 2);
             c.rules += "1 " + std::string(1 << 20, 'p') + "\n";
             c.rules += "1 (?:" + std::string(1 << 19, 'p') + "|x)\n";
             return c;
         }},
        {"10MB_of_every_shape_1000_rules", [] { return benchcorpus::combinedshapes(10 << 20); }},
        {"1M_bracket_pairs_in_Subject",
         [] {
             auto c = benchcorpus::make(20, 1024, 2);
             std::string subject = "Subject: ";
             for (int i = 0; i < 1000000; ++i) subject += "[]";
             c.message = subject + "x\n\nbody\n";
             return c;
         }},
    };
    return shapes;
}

// One rule and one message of the shapes that used to stall a scan, on either
// path, each under the plugin's budget.
void bounded(benchmark::State& state, const benchcorpus::shape* shape, bool straightforward) {
    const std::string dir = std::filesystem::temp_directory_path() / "pstbench";
    std::filesystem::create_directories(dir);
    const std::string rules = dir + "/shape.rules", message = dir + "/shape.eml";
    writefile(rules, std::string(shape->rule) + "\n");
    writefile(message, "Subject: x\n\n" + shape->body(shape->size) + "\n");
    pst::evalprofile profile;
    pst::evaloptions options;
    options.straightforward = straightforward;
    options.profile = &profile;
    if (!std::freopen("/dev/null", "w", stderr)) state.SkipWithError("no /dev/null");
    int score = 0;
    for (auto _ : state) {
        score = pst::evaluate(rules.c_str(), message.c_str(), 0, nullptr, options);
        benchmark::DoNotOptimize(score);
    }
    const double n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * shape->size));
    state.counters["score"] = score;
    state.counters["budget_cuts"] = profile.budgetcuts / n;
    state.counters["search_ms"] = profile.search * 1000 / n;
}

void hostile(benchmark::State& state, const hostileshape* shape) {
    const std::string dir = std::filesystem::temp_directory_path() / "pstbench";
    std::filesystem::create_directories(dir);
    const auto c = shape->make();
    const std::string rules = dir + "/hostile.rules", message = dir + "/hostile.eml";
    writefile(rules, c.rules);
    writefile(message, c.message);
    pst::evalprofile profile;
    pst::evaloptions options;
    options.profile = &profile;
    // A 1 MB pattern that does not compile would be named on standard error.
    if (!std::freopen("/dev/null", "w", stderr)) state.SkipWithError("no /dev/null");
    for (auto _ : state)
        benchmark::DoNotOptimize(
            pst::evaluate(rules.c_str(), message.c_str(), 0, nullptr, options));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.message.size()));
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_rss_so_far_MB"] = static_cast<double>(ru.ru_maxrss) / 1024;
    state.counters["search_ms"] = profile.search * 1000 / static_cast<double>(state.iterations());
}

// The budget's calibration: for every search of a set (the hostile shapes,
// the benchmark corpora's rules on their messages, generated rules on
// generated mail), what the search was charged against the CPU time it took,
// measured around it. Over the searches of 10 ms or more the time per unit
// must stay within a factor of 4; the points go to build/calibration.csv.
struct calibrationpoint {
    std::string what;
    double charged, cpu;  // seconds
};

double processcpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void calibrateone(const std::string& what, const std::string& pattern, const std::string& text,
                  std::vector<calibrationpoint>& points) {
    const pst::regexholder re = pst::compileregex(pattern.c_str());
    if (!re) return;
    pst::workbudget budget(pst::searchlimits::defaults());
    int count = 0;
    uint64_t charged = 0;
    // The process's clock: a deep search goes on on a thread of its own.
    const double before = processcpu();
    pst::searchcount(*re, pattern.c_str(), text, budget, count, nullptr, &charged);
    points.push_back({what, static_cast<double>(charged) / 1e9, processcpu() - before});
}

std::vector<calibrationpoint> calibrationset() {
    std::vector<calibrationpoint> points;
    for (const auto& shape : benchcorpus::hostileshapes()) {
        const std::string rule = shape.rule;
        calibrateone(shape.name, rule.substr(rule.find(' ') + 1), shape.body(shape.size), points);
    }
    for (const auto& [rules, size] : {std::pair{1000, 100 << 10}, std::pair{100, 1 << 20}}) {
        const auto c = benchcorpus::make(rules, static_cast<size_t>(size), 30);
        size_t from = 0;
        for (size_t end; (end = c.rules.find('\n', from)) != std::string::npos; from = end + 1) {
            const std::string line = c.rules.substr(from, end - from);
            calibrateone("corpus", line.substr(line.find(' ') + 1), c.message, points);
        }
    }
    testgen::generator gen(20261209);
    for (int i = 0; i < 3000; ++i) {
        std::string text = gen.message();
        // Some texts large enough for the generated shapes to cost.
        if (i % 10 == 0)
            for (int k = 0; k < 200; ++k) text += gen.message();
        calibrateone("generated", gen.pattern(), text, points);
    }
    return points;
}

void calibration(benchmark::State& state) {
    std::vector<calibrationpoint> points;
    for (auto _ : state) points = calibrationset();
    std::ofstream csv("calibration.csv");
    csv << "what,charged_s,cpu_s\n";
    double lo = 1e300, hi = 0;
    int counted = 0;
    for (const auto& p : points) {
        csv << p.what << "," << p.charged << "," << p.cpu << "\n";
        if (p.cpu < 0.010 || p.charged <= 0) continue;
        ++counted;
        lo = std::min(lo, p.cpu / p.charged);
        hi = std::max(hi, p.cpu / p.charged);
    }
    state.counters["searches"] = static_cast<double>(points.size());
    state.counters["searches_10ms"] = counted;
    state.counters["cpu_per_unit_min"] = counted ? lo : 0;
    state.counters["cpu_per_unit_max"] = counted ? hi : 0;
    state.counters["spread"] = counted ? hi / lo : 0;
}

void runprocess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(pid, nullptr, 0);
    posix_spawn_file_actions_destroy(&actions);
}

// A typical mail: 2 KB and 50 rules, through the whole plugin process.
const files& smallmail() {
    static const files f = [] {
        const auto c = benchcorpus::make(50, 2048, 2);
        writefile(BENCH_CONFDIR "/blocklist.local", c.rules);
        const std::string message = std::filesystem::temp_directory_path() / "pstbench-small.eml";
        writefile(message, c.message);
        return files{BENCH_CONFDIR "/blocklist.local", message, ""};
    }();
    return f;
}

void pluginprocess(benchmark::State& state) {
    const files& f = smallmail();
    for (auto _ : state) runprocess({BENCH_PLUGIN, "-scan", "a", "b", "c", f.message});
}

void minimalprocess(benchmark::State& state) {
    const files& f = smallmail();
    for (auto _ : state) runprocess({BENCH_MINIMAL, f.rules, f.message});
}

// Mail as a server sees it, through whole processes: the plugin and the
// straightforward evaluation in turn, seven pairs, each process's wall time;
// the medians and the median of the pairs' ratios.
double secondssince(const timespec& t0) {
    timespec t1{};
    clock_gettime(CLOCK_MONOTONIC, &t1);
    return static_cast<double>(t1.tv_sec - t0.tv_sec) +
           static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
}

double timedprocess(const std::vector<std::string>& args) {
    timespec t0{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    runprocess(args);
    return secondssince(t0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void processpairs(benchmark::State& state) {
    const int rules = static_cast<int>(state.range(0));
    const auto size = static_cast<size_t>(state.range(1));
    const int hitpercent = static_cast<int>(state.range(2));
    const bool compiled = state.range(3) != 0;
    const auto c = benchcorpus::makefrequent(rules, size, hitpercent);
    writefile(BENCH_CONFDIR "/blocklist.local", c.rules);
    // With the compiled form beside the rules, or none.
    std::filesystem::remove(BENCH_CONFDIR "/blocklist.local.compiled");
    if (compiled) {
        pst::rulefile f;
        pst::takerulelines(f, c.rules);
        writefile(BENCH_CONFDIR "/blocklist.local.compiled", pst::compiledrules::make(f));
    }
    const std::string message = std::filesystem::temp_directory_path() / "pstbench-pair.eml";
    writefile(message, c.message);
    // PSTBENCH_PLUGIN: another build of the plugin in its place, with its
    // rule file linked to this one's, to measure a change switched off.
    const char* other = std::getenv("PSTBENCH_PLUGIN");
    const std::vector<std::string> fast{
        other ? other : BENCH_PLUGIN, "-scan", "a", "b", "c", message},
        slow{BENCH_STRAIGHTFORWARD, "-scan", "a", "b", "c", message};
    // The floor: a process that only reads the two files and prints.
    const std::vector<std::string> floor{BENCH_MINIMAL, BENCH_CONFDIR "/blocklist.local", message};
    std::vector<double> here, there, ratio, least;
    for (auto _ : state) {
        for (int pair = 0; pair < 7; ++pair) {
            here.push_back(timedprocess(fast));
            there.push_back(timedprocess(slow));
            least.push_back(timedprocess(floor));
            ratio.push_back(here.back() / there.back());
        }
    }
    state.counters["here_ms"] = median(here) * 1000;
    state.counters["straightforward_ms"] = median(there) * 1000;
    state.counters["ratio"] = median(ratio);
    state.counters["floor_ms"] = median(least) * 1000;
}

void registerall() {
    constexpr int64_t kb = 1024, mb = 1024 * 1024;
    struct config {
        int64_t rules, size, hit;
    };
    // "hit": the share of rules whose words occur in the message.
    const config configs[] = {
        {1000, 5 * kb, 3},    {1000, 100 * kb, 3}, {1000, 100 * kb, 30}, {1000, 1 * mb, 3},
        {10000, 100 * kb, 3}, {100, 10 * mb, 3},   {10000, 10 * mb, 3},
    };
    for (const auto& c : configs) {
        const std::string name = std::to_string(c.rules) + "rules/" + std::to_string(c.size / kb) +
                                 "KB/" + std::to_string(c.hit) + "%hit";
        benchmark::RegisterBenchmark(("fast/" + name).c_str(), evaluation, false)
            ->Args({c.rules, c.size, c.hit})
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
        // The straightforward path takes minutes on the largest corpora.
        if (c.rules * c.size <= 1000 * mb)
            benchmark::RegisterBenchmark(("straightforward/" + name).c_str(), evaluation, true)
                ->Args({c.rules, c.size, c.hit})
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.3);
    }
    for (const auto& shape : benchcorpus::hostileshapes())
        for (const bool straightforward : {false, true})
            benchmark::RegisterBenchmark(
                (std::string(straightforward ? "straightforward" : "fast") + "/bounded/" +
                 shape.name)
                    .c_str(),
                bounded, &shape, straightforward)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(3)
                ->Repetitions(3)
                ->ReportAggregatesOnly(false);
    for (const auto& shape : hostileshapes())
        benchmark::RegisterBenchmark((std::string("hostile/") + shape.name).c_str(), hostile,
                                     &shape)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    // rules, message bytes, share of rules that hit (made of frequent words).
    const config served[] = {{10000, 100, 0},     {10000, 100, 3},     {1000, 2 * kb, 3},
                             {10000, 10 * kb, 3}, {10000, 50 * kb, 3}, {1000, 100 * kb, 3},
                             {1000, 100 * kb, 30}};
    for (const auto& c : served)
        for (const int compiled : {0, 1})
            benchmark::RegisterBenchmark(
                ("pairs/" + std::to_string(c.rules) + "rules/" + std::to_string(c.size) + "B/" +
                 std::to_string(c.hit) + "%hit/" + (compiled ? "compiled" : "plain"))
                    .c_str(),
                processpairs)
                ->Args({c.rules, c.size, c.hit, compiled})
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(1);
    benchmark::RegisterBenchmark("calibration/budget", calibration)
        ->Unit(benchmark::kSecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("process/plugin/50rules/2KB", pluginprocess)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->MinTime(1.0);
    benchmark::RegisterBenchmark("process/minimal/50rules/2KB", minimalprocess)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->MinTime(1.0);
}

}  // namespace

int main(int argc, char** argv) {
    registerall();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
