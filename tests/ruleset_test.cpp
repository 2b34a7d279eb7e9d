// One ruleset, read once, scoring many messages from many threads: each
// message gets what the plugin gives it alone, and the rule text stays as
// read.
#include "ruleset.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "evaluate.h"
#include "generator.h"
#include "holders.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

// Every line the evaluation has, in order, as text.
class transcript final : public pst::evalsink {
   public:
    std::string lines;
    void message(const read& m) override { lines += "message " + std::to_string(m.scanlen) + "\n"; }
    void hit(const pst::rulehit& h) override {
        lines += "hit " + std::to_string(h.line) + " " + h.pattern + " " + std::to_string(h.found) +
                 " " + std::to_string(h.capitals) + " " + std::to_string(h.after) + "\n";
    }
    void compilefailed(const char* pattern, int line) override {
        lines += "compile " + std::to_string(line) + " " + pattern + "\n";
    }
    void searchfailed(int rc, const char* pattern, int line) override {
        lines += "search " + std::to_string(rc) + " " + std::to_string(line) + " " + pattern + "\n";
    }
    void cannotopen(file) override { lines += "cannotopen\n"; }
    void readfailed(file) override { lines += "readfailed\n"; }
    void exhausted(const char*) override { lines += "exhausted\n"; }
};

std::string scoredalone(const std::string& rulepath, const std::string& messagepath, int debug) {
    transcript t;
    pst::evaloptions options;
    options.sink = &t;
    const int score = pst::evaluate(rulepath.c_str(), messagepath.c_str(), debug, nullptr, options);
    return t.lines + std::to_string(score) + "\n";
}

std::string scoredwith(const pst::ruleset& rules, const std::string& messagepath, int debug) {
    transcript t;
    pst::evaloptions options;
    options.sink = &t;
    const pst::fdholder fd(pst::openforreading(messagepath.c_str()));
    const int score = pst::evaluate(rules, fd.get(), debug, nullptr, options);
    return t.lines + std::to_string(score) + "\n";
}

TEST(ruleset, sharedByThreadsEachMessageScoresAsAlone) {
    testgen::generator gen(20261210);
    testutil::tempdir dir;
    // Rules of every kind the generator makes, some that do not compile.
    std::string text;
    for (int i = 0; i < 4; ++i) text += gen.rules();
    const std::string rulepath = dir.file("rules", text);
    std::vector<std::string> messages;
    std::vector<int> debugs;
    std::vector<std::string> expected;
    for (int i = 0; i < 24; ++i) {
        messages.push_back(dir.file(std::to_string(i) + ".eml", gen.message()));
        debugs.push_back(gen.debug());
        expected.push_back(scoredalone(rulepath, messages.back(), debugs.back()));
    }
    const pst::fdholder fd(pst::openforreading(rulepath.c_str()));
    pst::sysio sys;
    const pst::ruleset rules(sys, fd.get(), {.keepcompiled = true});
    EXPECT_EQ(rules.text(), text);
    constexpr int threads = 4;
    std::vector<std::vector<std::string>> got(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            // Each thread in its own order, so that they compile different
            // patterns first.
            for (size_t k = 0; k < messages.size(); ++k) {
                const size_t i = (k * (2 * t + 1)) % messages.size();
                got[t].push_back(scoredwith(rules, messages[i], debugs[i]));
            }
        });
    for (auto& w : workers) w.join();
    int hits = 0;
    for (int t = 0; t < threads; ++t)
        for (size_t k = 0; k < messages.size(); ++k) {
            const size_t i = (k * (2 * t + 1)) % messages.size();
            ASSERT_EQ(got[t][k], expected[i]) << "thread " << t << ", message " << i;
            hits += expected[i].find("\nhit ") != std::string::npos;
        }
    EXPECT_GT(hits, 8);  // the messages must give the rules something to count
}

// The debug level chooses the rules when scoring: one ruleset serves both.
TEST(ruleset, theDebugLevelChoosesTheRulesCounted) {
    testutil::tempdir dir;
    const std::string rulepath = dir.file("rules", "0 cheap\n3 cheap\n=0 deal\n");
    const std::string message = dir.file("m", "Subject: x\n\ncheap deal\n");
    const pst::fdholder fd(pst::openforreading(rulepath.c_str()));
    pst::sysio sys;
    const pst::ruleset rules(sys, fd.get(), {});
    ASSERT_EQ(rules.rules().size(), 3u);
    for (const int debug : {0, 2}) {
        const std::string once = scoredwith(rules, message, debug);
        EXPECT_EQ(once, scoredalone(rulepath, message, debug)) << debug;
        EXPECT_EQ(once.find("hit 1 ") != std::string::npos, debug != 0) << once;
    }
}

}  // namespace
