// blocklistctl corpus against the plugin: the same score for every message
// in all four forms of saved mail, --compare finding exactly the messages a
// rule change moves, and the plot as a picture of the promised size.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "generator.h"
#include "testutil.h"

namespace {

testutil::output corpus(std::vector<std::string> args) {
    args.insert(args.begin(), {BLOCKLISTCTL, "corpus"});
    return testutil::runprocess(args);
}

int pluginscore(const std::string& rules, const std::string& message) {
    testutil::writefile(TREE_CONFDIR "/blocklist.local", rules);
    const auto o = testutil::runprocess({PLUGIN_EXE, "-scan", "a", "b", "c", message});
    return std::stoi(o.out.substr(o.out.rfind('\n', o.out.size() - 2) + 1));
}

// mboxrd quoting: every line of "From " after any number of ">" gets one more.
std::string mboxquoted(const std::string& message) {
    std::string out;
    size_t at = 0;
    while (at < message.size()) {
        const size_t nl = message.find('\n', at);
        const std::string line = message.substr(at, nl == std::string::npos ? nl : nl + 1 - at);
        at = nl == std::string::npos ? message.size() : nl + 1;
        const size_t q = line.find_first_not_of('>');
        if (q != std::string::npos && line.compare(q, 5, "From ") == 0) out += '>';
        out += line;
    }
    return out;
}

struct generated {
    testutil::tempdir dir;
    std::map<std::string, std::string> files;  // name in the report -> a file of the message
};

// Ham as a directory of files and one file, spam as a Maildir and an mbox.
void makecorpus(generated& g, testgen::generator& gen) {
    const std::string d = g.dir.path();
    for (const char* sub : {"/ham", "/spam", "/spam/cur", "/spam/new", "/single"})
        ::mkdir((d + sub).c_str(), 0755);
    for (int i = 0; i < 12; ++i) {
        const std::string name = d + "/ham/" + std::to_string(i) + ".eml";
        testutil::writefile(name, gen.message());
        g.files[name] = name;
    }
    for (int i = 0; i < 8; ++i) {
        const std::string name = d + (i % 2 ? "/spam/cur/" : "/spam/new/") + std::to_string(i);
        testutil::writefile(name, gen.message());
        g.files[name] = name;
    }
    std::string mbox;
    for (int i = 1; i <= 6; ++i) {
        std::string m = gen.message();
        if (m.empty() || m.back() != '\n') m += '\n';
        const std::string copy = g.dir.file("mboxcopy" + std::to_string(i), m);
        g.files[d + "/spam.mbox#" + std::to_string(i)] = copy;
        mbox += "From someone@example.org Tue Dec  8 10:00:00 2026\n" + mboxquoted(m) + "\n";
    }
    testutil::writefile(d + "/spam.mbox", mbox);
    const std::string single = d + "/single/one.eml";
    testutil::writefile(single, "Subject: x\n\nhello\n");
    g.files[single] = single;
}

std::vector<std::string> sources(const generated& g) {
    const std::string d = g.dir.path();
    return {"--ham",  d + "/ham",  "--ham",  d + "/single/one.eml",
            "--spam", d + "/spam", "--spam", d + "/spam.mbox"};
}

TEST(corpus, scoresEveryMessageAsThePluginDoes) {
    testgen::generator gen(2026);
    for (int round = 0; round < 4; ++round) {
        generated g;
        makecorpus(g, gen);
        const std::string rules = gen.rules();
        const std::string rulefile = g.dir.file("rules", rules);
        std::vector<std::string> args = sources(g);
        args.insert(args.end(), {"--rules", rulefile, "--format=json"});
        const auto o = corpus(args);
        ASSERT_EQ(o.result, 0) << o.err;
        const auto report = nlohmann::json::parse(o.out);
        ASSERT_EQ(report["messages"].size(), g.files.size()) << rules;
        EXPECT_EQ(report["counts"]["ham"], 13);
        EXPECT_EQ(report["counts"]["spam"], 14);
        for (const auto& m : report["messages"]) {
            const std::string name = m["message"];
            ASSERT_TRUE(g.files.count(name)) << name;
            EXPECT_EQ(m["score"].get<int>(), pluginscore(rules, g.files[name])) << name << rules;
            // Its hits explain its score: a weight times the occurrences and
            // twice the capitals, adding up to the score (these scores are
            // far from wrapping).
            long long sum = 0;
            for (const auto& h : m["hits"]) {
                const long long found = h["found"], capitals = h["capitals"];
                EXPECT_EQ(h["contribution"].get<long long>(),
                          h["weight"].get<long long>() * (found + 2 * capitals))
                    << name << h.dump();
                sum += h["contribution"].get<long long>();
            }
            EXPECT_EQ(sum, m["score"].get<long long>()) << name << rules;
        }
    }
    std::remove(TREE_CONFDIR "/blocklist.local");
}

// The compiled form beside the rule file, which the plugin uses, changes
// the time a run takes and nothing it reports.
TEST(corpus, theCompiledFormChangesNoReport) {
    testgen::generator gen(2027);
    generated g;
    makecorpus(g, gen);
    const std::string rules = g.dir.file("rules", gen.rules());
    std::vector<std::string> args = sources(g);
    args.insert(args.end(), {"--rules", rules, "--format=json", "--threshold", "10"});
    const auto without = corpus(args);
    ASSERT_EQ(without.result, 0) << without.err;
    const auto compiled = testutil::runprocess({BLOCKLISTCTL, "compile", "--rules", rules});
    ASSERT_EQ(compiled.result, 0) << compiled.err;
    const auto with = corpus(args);
    EXPECT_EQ(with.result, 0);
    EXPECT_EQ(with.out, without.out);
    EXPECT_EQ(with.err, without.err);
}

TEST(corpus, compareListsExactlyTheMessagesThatChange) {
    testgen::generator gen(77);
    generated g;
    makecorpus(g, gen);
    const std::string before = "10 cheap\n3 the\n", after = "10 cheap\n5 the\n=2 Cheap\n";
    const std::string a = g.dir.file("a", before), b = g.dir.file("b", after);
    std::vector<std::string> args = sources(g);
    args.insert(args.end(), {"--rules", a, "--compare", b, "--threshold", "12", "--format=json"});
    const auto report = nlohmann::json::parse(corpus(args).out);
    std::map<std::string, std::pair<int, int>> expected;
    for (const auto& [name, file] : g.files) {
        const int x = pluginscore(before, file), y = pluginscore(after, file);
        if (x != y) expected[name] = {x, y};
    }
    std::remove(TREE_CONFDIR "/blocklist.local");
    ASSERT_FALSE(expected.empty());
    std::map<std::string, std::pair<int, int>> found;
    for (const auto& c : report["compare"]["changes"]) {
        found[c["message"]] = {c["before"], c["after"]};
        EXPECT_EQ(c["verdict_changes"], (c["before"] >= 12) != (c["after"] >= 12));
    }
    EXPECT_EQ(found, expected);
}

// The width and height of a PNG (its IHDR) or an SVG (its root's attributes).
std::pair<int, int> picturesize(const std::string& bytes) {
    if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 && bytes.compare(12, 4, "IHDR") == 0) {
        auto word = [&](size_t at) {
            int v = 0;
            for (size_t i = 0; i < 4; ++i) v = v * 256 + static_cast<unsigned char>(bytes[at + i]);
            return v;
        };
        return {word(16), word(20)};
    }
    const size_t svg = bytes.find("<svg");
    if (svg == std::string::npos) return {0, 0};
    auto attribute = [&](const char* name) {
        const size_t at = bytes.find(std::string(name) + "=\"", svg);
        return at == std::string::npos ? 0 : std::atoi(bytes.c_str() + at + std::strlen(name) + 2);
    };
    return {attribute("width"), attribute("height")};
}

TEST(corpus, plotsAsSvgOrPng) {
    testgen::generator gen(5);
    generated g;
    makecorpus(g, gen);
    const std::string rules = g.dir.file("rules", "10 cheap\n3 the\n");
    for (const char* ext : {".svg", ".png"}) {
        const std::string plot = g.dir.path() + "/plot" + ext;
        std::vector<std::string> args = sources(g);
        args.insert(args.end(), {"--rules", rules, "--plot", plot});
        const auto o = corpus(args);
        EXPECT_EQ(o.result, 0) << o.err;
        EXPECT_EQ(picturesize(testutil::readfile(plot)), std::make_pair(800, 600)) << ext;
    }
    // Another kind of picture is a usage error, before any message is
    // scored; a plot that cannot be written is status 70 after the report.
    std::vector<std::string> args = sources(g);
    args.insert(args.end(), {"--rules", rules, "--plot", g.dir.path() + "/plot.gif"});
    const auto gif = corpus(args);
    EXPECT_EQ(gif.result, 64);
    EXPECT_EQ(gif.out, "");
    EXPECT_EQ(gif.err, "blocklistctl: --plot needs a .svg or a .png file, not '" + g.dir.path() +
                           "/plot.gif'\nTry 'blocklistctl --help'\n");
    args = sources(g);
    args.insert(args.end(), {"--rules", rules, "--plot", g.dir.path() + "/none/plot.svg"});
    EXPECT_EQ(corpus(args).result, 70);
}

// The texts of an SVG's <text> elements, in order.
std::vector<std::string> svgtexts(const std::string& svg) {
    std::vector<std::string> out;
    for (size_t at = 0; (at = svg.find("<text", at)) != std::string::npos;) {
        const size_t open = svg.find('>', at) + 1, close = svg.find("</text>", open);
        out.push_back(svg.substr(open, close - open));
        at = close;
    }
    return out;
}

bool has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The value of attribute name in the SVG element at, as a number.
double attribute(const std::string& svg, size_t at, const std::string& name) {
    const size_t v = svg.find(" " + name + "=\"", at) + name.size() + 3;
    return std::stod(svg.substr(v, svg.find('"', v) - v));
}

// The points of the SVG's polylines, those drawn dashed or those not.
std::vector<std::vector<std::pair<double, double>>> svglines(const std::string& svg, bool dashed) {
    std::vector<std::vector<std::pair<double, double>>> out;
    for (size_t at = 0; (at = svg.find("<polyline", at)) != std::string::npos; ++at) {
        const size_t end = svg.find("/>", at);
        if ((svg.find("stroke-dasharray", at) < end) != dashed) continue;
        const size_t p = svg.find("points=\"", at) + 8;
        std::istringstream points(svg.substr(p, svg.find('"', p) - p));
        out.emplace_back();
        for (double x, y; points >> x && points.ignore(1) && points >> y;)
            out.back().push_back({x, y});
    }
    return out;
}

// The plot's axes carry ticks and numbers, the threshold is marked with the
// error rates there, an outlier gets a bucket of its own, and the report and
// the plot share their buckets, whose width --buckets sets.
TEST(corpus, thePlotHasAxesAThresholdAndTheReportsBuckets) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "1 point\n");
    ::mkdir((dir.path() + "/ham").c_str(), 0755);
    ::mkdir((dir.path() + "/spam").c_str(), 0755);
    auto message = [&](const std::string& name, int points) {
        std::string body;
        for (int i = 0; i < points; ++i) body += "point\n";
        dir.file(name, "Subject: s\n\n" + body);
    };
    for (int i = 0; i < 8; ++i) message("ham/" + std::to_string(i), i % 4);
    for (int i = 0; i < 8; ++i) message("spam/" + std::to_string(i), 10 + i);
    message("spam/far", 900);  // an outlier
    const std::string plot = dir.path() + "/p.svg";
    const auto o =
        corpus({"--rules", rules, "--ham", dir.path() + "/ham", "--spam", dir.path() + "/spam",
                "--threshold", "8", "--buckets", "2", "--plot", plot});
    ASSERT_EQ(o.result, 0) << o.err;
    const std::string svg = testutil::readfile(plot);
    const auto texts = svgtexts(svg);
    // Both axes of both panels: shares up the side, scores along the bottom,
    // the outliers' bucket ending at the highest score.
    for (const char* t : {"0%", "25%", "50%", "75%", "100%", "0", "6", "12", "52", "900",
                          "outliers", "threshold 8", "false positives 0%", "false negatives 0%",
                          "score distribution, buckets of 2 (share of each set): ham blue, "
                          "spam red"})
        EXPECT_TRUE(has(texts, t)) << t;
    // The panels lie at y 50 to 250 and 350 to 550, their titles above them.
    // The outliers' bucket is shaded in both; the threshold's dashed line
    // stays inside each, clear of the titles; its labels are inside the
    // panel they belong to, and cross no curve of the rates.
    size_t shaded = 0;
    for (size_t at = 0; (at = svg.find("fill=\"rgb(237,237,237)\"", at)) != std::string::npos; ++at)
        ++shaded;
    EXPECT_EQ(shaded, 2u);
    const auto dashes = svglines(svg, true);
    ASSERT_EQ(dashes.size(), 2u);
    for (const auto& panel : {std::pair{50.0, 250.0}, std::pair{350.0, 550.0}})
        EXPECT_TRUE(std::any_of(dashes.begin(), dashes.end(), [&](const auto& d) {
            return d.size() == 2 && d[0].second == panel.first && d[1].second == panel.second;
        })) << panel.first;
    const auto curves = svglines(svg, false);
    for (const auto& [label, lo, hi] :
         {std::tuple{"threshold 8", 50.0, 250.0}, std::tuple{"false positives 0%", 350.0, 550.0},
          std::tuple{"false negatives 0%", 350.0, 550.0}}) {
        const size_t at = svg.rfind("<text", svg.find(std::string(">") + label + "<"));
        const double x = attribute(svg, at, "x"), y = attribute(svg, at, "y");
        EXPECT_GT(y - 12, lo) << label;
        EXPECT_LT(y + 4, hi) << label;
        for (const auto& c : curves)
            for (const auto& [px, py] : c)
                EXPECT_FALSE(px >= x && px <= x + 6.5 * std::strlen(label) && py >= y - 12 &&
                             py <= y + 4)
                    << label << " over a curve at " << px << "," << py;
    }
    // The text report has the same buckets of 2, the outlier in its own.
    EXPECT_NE(o.out.find("score distribution (buckets of 2;"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\n       0..1      ham     4 ##############################"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("..900    ham     0                                spam     1 "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("  (outliers)\n"), std::string::npos) << o.out;
    // Neither a width of 0 nor one that is not a number.
    for (const char* bad : {"0", "-2", "x"}) {
        const auto b = corpus({"--rules", rules, "--ham", dir.path() + "/ham", "--buckets", bad});
        EXPECT_EQ(b.result, 64) << bad;
        EXPECT_EQ(b.out, "");
    }
}

// Unreadable messages are reported and skipped; a source that is not there is
// reported, the others are scored, and the status says that one was missing.
TEST(corpus, badMessagesAreSkippedNotFatal) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string good = dir.file("good", "Subject: cheap\n\n\n");
    const std::string locked = dir.file("locked", "Subject: cheap\n\n\n");
    ::chmod(locked.c_str(), 0);
    testutil::runoptions nobody;
    nobody.asnobody = true;
    const auto o = testutil::runprocess({BLOCKLISTCTL, "corpus", "--rules", rules, "--format=json",
                                         good, locked, dir.path() + "/missing"},
                                        nobody);
    ::chmod(locked.c_str(), 0644);
    EXPECT_EQ(o.result, 66) << o.err;
    EXPECT_NE(o.err.find("missing"), std::string::npos) << o.err;
    const auto report = nlohmann::json::parse(o.out);
    EXPECT_EQ(report["messages"][0]["score"], 30);
    // Root as nobody cannot read it; a plain user cannot either.
    ASSERT_EQ(report["not_scored"].size(), 1u);
    EXPECT_EQ(report["not_scored"][0]["message"], locked);
}

// A file is an mbox when it holds more than one message: a message stored
// alone with its envelope line scores as the plugin scores the file, and
// each message of an mbox as the plugin scores it unquoted.
TEST(corpus, aFileIsAnMboxOnlyWithMoreThanOneMessage) {
    const std::string from = "From x@example.org Tue Dec  8 10:00:00 2026\n";
    const std::string one = "Subject: cheap\n\nFrom here on, cheap\n>From there\n";
    const std::string two = "Subject: fine\n\n>>From afar\nx\n";
    const struct {
        const char* what;
        std::string file;
        std::vector<std::string> messages;  // as the plugin should see them; one: the file
    } cases[] = {
        {"one message with an envelope line", from + one, {}},
        {"one message, its >From kept", from + ">From quoted\n" + one, {}},
        {"two messages, each From line quoted once more",
         from + mboxquoted(one) + "\n" + from + mboxquoted(two),
         {one, two}},
        {"a From line of text is no separator",
         from + "Subject: a\n\nFrom y, cheap\n\n" + from + two,
         {"Subject: a\n\nFrom y, cheap\n", two}},
    };
    const std::string rules = "10 cheap\n7 >from\n3 ^from\n2 from\n";
    for (const auto& c : cases) {
        testutil::tempdir dir;
        const std::string path = dir.file("mail", c.file);
        const auto o = corpus({"--rules", dir.file("rules", rules), "--format=json", path});
        ASSERT_EQ(o.result, 0) << c.what << o.err;
        const auto report = nlohmann::json::parse(o.out)["messages"];
        if (c.messages.empty()) {
            ASSERT_EQ(report.size(), 1u) << c.what;
            EXPECT_EQ(report[0]["message"], path) << c.what;
            EXPECT_EQ(report[0]["score"].get<int>(), pluginscore(rules, path)) << c.what;
            continue;
        }
        ASSERT_EQ(report.size(), c.messages.size()) << c.what;
        for (size_t i = 0; i < c.messages.size(); ++i) {
            EXPECT_EQ(report[i]["message"], path + "#" + std::to_string(i + 1)) << c.what;
            const std::string alone = dir.file(std::to_string(i) + ".eml", c.messages[i]);
            EXPECT_EQ(report[i]["score"].get<int>(), pluginscore(rules, alone)) << c.what << i;
        }
    }
    std::remove(TREE_CONFDIR "/blocklist.local");
}

// A diagnostic names the message and the line of the rule that gave it, so
// that the same pattern on two lines gives two: the plugin prints both.
TEST(corpus, aDiagnosticNamesItsMessageAndItsRuleLine) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "1 x\n2 (?i)deal\n3 (?s)q\n4 (?i)deal\n");
    const std::string deal = dir.file("deal", "Subject: s\n\na deal q\n");
    const std::string none = dir.file("none", "Subject: s\n\nnothing\n");
    const auto o = corpus({"--rules", rules, "--format=json", none, deal});
    ASSERT_EQ(o.result, 0) << o.err;
    const std::string compile = "#Error: Regexp compile error on ";
    EXPECT_EQ(o.err, "blocklistctl: " + deal + ": line 2: " + compile + "(?I)DEAL\n" +
                         "blocklistctl: " + deal + ": line 3: " + compile + "(?S)Q\n" +
                         "blocklistctl: " + deal + ": line 4: " + compile + "(?I)DEAL\n" +
                         "blocklistctl: diagnostics per rule:\n" +
                         "blocklistctl:   line 2: 1 messages: " + compile + "(?I)DEAL\n" +
                         "blocklistctl:   line 3: 1 messages: " + compile + "(?S)Q\n" +
                         "blocklistctl:   line 4: 1 messages: " + compile + "(?I)DEAL\n");
    const auto report = nlohmann::json::parse(o.out);
    EXPECT_EQ(report["messages"][0]["diagnostics"].size(), 0u);
    EXPECT_EQ(report["messages"][1]["diagnostics"][2]["line"], 4);
    EXPECT_EQ(report["diagnostics_per_rule"][1]["messages"], 1);
}

}  // namespace

namespace {

// An mbox is indexed and each message read when it is scored: memory does
// not grow with the mbox (100 MB here), and the scores are still exact.
TEST(corpus, anMboxIsStreamed) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    const std::string body = testutil::repeated("nothing to see here, move along\n", 100000);
    const std::string path = dir.path() + "/big.mbox";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < 1000; ++i) {
            const std::string m = "From x Tue Dec  8 10:00:00 2026\nSubject: " +
                                  std::string(i % 2 ? "cheap" : "fine") + "\n\n" + body + "\n";
            std::fwrite(m.data(), 1, m.size(), f);
        }
        std::fclose(f);
    }
    const auto o = corpus({"--rules", rules, "--jobs", "1", "--format=json", path});
    ASSERT_EQ(o.result, 0) << o.err;
    EXPECT_LT(o.maxrsskib, 64 * 1024);
    const auto report = nlohmann::json::parse(o.out);
    ASSERT_EQ(report["messages"].size(), 1000u);
    EXPECT_EQ(report["messages"][1]["score"], 30);
    EXPECT_EQ(report["messages"][2]["score"], 0);
}

// The rule file is read once: edited while the messages are scored, it
// changes nothing (it used to end the program when a worker read more rules
// than the report knew).
TEST(corpus, aRuleFileEditedDuringTheRunChangesNothing) {
    generated g;
    testgen::generator gen(11);
    makecorpus(g, gen);
    const std::string original = "10 cheap\n5 free\n";
    const std::string rules = g.dir.file("rules", original);
    std::vector<std::string> args = sources(g);
    args.insert(args.end(), {"--rules", rules, "--format=json", "--jobs", "2"});
    const auto quiet = corpus(args);
    ASSERT_EQ(quiet.result, 0) << quiet.err;

    std::atomic<bool> done{false};
    std::thread editor([&] {
        for (int i = 0; !done; ++i) {
            std::string text = original;
            for (int k = 0; k < i % 50; ++k) text += "1 x" + std::to_string(k) + "\n";
            testutil::writefile(rules, i % 2 ? text : "");
        }
    });
    for (int round = 0; round < 5; ++round) {
        testutil::writefile(rules, original);
        const auto o = corpus(args);
        EXPECT_NE(o.signal, 6) << o.err;
        if (o.result == 0) {
            // Whatever rules it read, the report and the scores agree with them.
            const auto report = nlohmann::json::parse(o.out);
            EXPECT_EQ(report["messages"].size(),
                      nlohmann::json::parse(quiet.out)["messages"].size());
        } else {
            EXPECT_EQ(o.result, 66) << o.err;
        }
    }
    done = true;
    editor.join();
}

// Scores that span more than an int (they wrap by design with huge weights)
// still plot.
TEST(corpus, plotsScoresThatSpanMoreThanAnInt) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "2147483647 high\n-2147483648 low\n");
    ::mkdir((dir.path() + "/ham").c_str(), 0755);
    dir.file("ham/1", "A: b\n\nhigh\n");
    dir.file("ham/2", "A: b\n\nlow\n");
    dir.file("ham/3", "A: b\n\nnothing\n");
    const std::string plot = dir.path() + "/p.svg";
    const auto o = corpus({"--rules", rules, "--ham", dir.path() + "/ham", "--plot", plot});
    EXPECT_EQ(o.result, 0) << o.err;
    EXPECT_EQ(o.signal, 0);
    EXPECT_NE(testutil::readfile(plot).find("<svg"), std::string::npos);
}

}  // namespace

namespace {

// On a terminal, a run that lasts shows how far it is, its rate and the time
// left; the line is cleared when the report begins.
TEST(corpus, theProgressLineShowsTheRateAndTheTimeLeft) {
    if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) for a terminal";
    testutil::tempdir dir;
    std::string mbox, rules;
    // Long enough a run for the rate, which shows after half a second, on a
    // fast machine.
    for (int i = 0; i < 20000; ++i)
        mbox += "From x@example.org Tue Dec  8 10:00:00 2026\nSubject: " + std::to_string(i) +
                "\n\nhello cheap world\n\n";
    for (int i = 0; i < 300; ++i) rules += "1 word" + std::to_string(i) + "\\s+x[a-z]+\n";
    const std::string command = std::string(BLOCKLISTCTL) + " corpus --jobs 1 --rules " +
                                dir.file("rules", rules) + " " + dir.file("mail.mbox", mbox);
    const auto o = testutil::runprocess({"/usr/bin/script", "-qec", command, "/dev/null"});
    EXPECT_EQ(o.result, 0) << o.err;
    const size_t line = o.out.rfind("/20000 messages, ");
    ASSERT_NE(line, std::string::npos) << o.out.substr(0, 300);
    const std::string shown = o.out.substr(line, o.out.find('\r', line) - line);
    EXPECT_NE(shown.find("/s, "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" s left"), std::string::npos) << shown;
    EXPECT_NE(o.out.find("messages: 0 ham, 0 spam, 20000 unlabelled"), std::string::npos);
}

}  // namespace

namespace {

// What the rules cannot see is said: a header that no empty line ends (every
// line in CR-LF) leaves the body unscored, and a body in base64 or
// quoted-printable, at the top or in a part, is searched as encoded text.
TEST(corpus, whatTheRulesCannotSeeIsSaid) {
    testutil::tempdir dir;
    const std::string rules = dir.file("rules", "10 cheap\n");
    ::mkdir((dir.path() + "/mail").c_str(), 0755);
    struct sample {
        const char* name;
        std::string text;
        bool headerended, encoded;
    };
    const sample samples[] = {
        {"plain", "Subject: x\n\ncheap\n", true, false},
        {"crlf", "Subject: cheap\r\nX: y\r\n\r\ncheap\r\n", false, false},
        {"base64", "Subject: x\nContent-Transfer-Encoding: BASE64\n\nY2hlYXA=\n", true, true},
        {"part",
         "Subject: x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
         "Content-Transfer-Encoding:  quoted-printable\n\nche=\nap\n--b--\n",
         true, true},
        {"eightbit", "Subject: x\nContent-Transfer-Encoding: 8bit\n\ncheap\n", true, false},
    };
    for (const sample& s : samples) testutil::writefile(dir.path() + "/mail/" + s.name, s.text);
    const auto json = corpus({"--rules", rules, "--format=json", dir.path() + "/mail"});
    ASSERT_EQ(json.result, 0) << json.err;
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["counts"]["header_not_ended"], 1);
    EXPECT_EQ(report["counts"]["encoded"], 2);
    for (const auto& m : report["messages"]) {
        const std::string name = m["message"].get<std::string>();
        for (const sample& s : samples)
            if (name == dir.path() + "/mail/" + s.name) {
                EXPECT_EQ(m["header_ended"], s.headerended) << name;
                EXPECT_EQ(m["encoded"], s.encoded) << name;
            }
    }
    const auto text = corpus({"--rules", rules, dir.path() + "/mail"});
    EXPECT_NE(
        text.out.find("1 messages: no empty line ends the header: the body is not scored\n  " +
                      dir.path() + "/mail/crlf\n"),
        std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("2 messages: the body is in base64 or quoted-printable: the rules "
                            "see the encoded text\n"),
              std::string::npos)
        << text.out;
    const auto explained = testutil::runprocess(
        {BLOCKLISTCTL, "explain", "--rules", rules, dir.path() + "/mail/crlf"});
    EXPECT_NE(explained.out.find("note: no empty line ends the header: the body is not scored\n"),
              std::string::npos)
        << explained.out;
}

}  // namespace

namespace {

// --costs: every rule's work once, the one the budget cut first and flagged,
// the scores untouched.
TEST(corpus, costsNameTheRulesTheBudgetCut) {
    testutil::tempdir dir;
    // "[^>]+" scans the rest of the text at every "src=": the square of
    // 320 KB is far more than one search may take.
    const std::string hostile = "src=(?:3d)?[^>]+>free";
    const std::string rules = dir.file("rules", "5 cheap\n\n3 " + hostile + "\n2 =never\n");
    ::mkdir((dir.path() + "/spam").c_str(), 0755);
    std::string slow = "Subject: cheap\n\n>";
    for (int i = 0; i < 40'000; ++i) slow += "src=3dx ";
    slow += "\n";
    dir.file("spam/slow", slow);
    dir.file("spam/plain", "Subject: cheap cheap\n\nnothing here\n");
    const auto o =
        corpus({"--rules", rules, "--spam", dir.path() + "/spam", "--costs", "--format=json"});
    ASSERT_EQ(o.result, 0) << o.err;
    const auto doc = nlohmann::json::parse(o.out);
    const auto& work = doc.at("work");
    EXPECT_EQ(work.at("search_budget_seconds"), 0.9);
    const auto& list = work.at("rules");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].at("line"), 3);
    EXPECT_EQ(list[0].at("pattern"), hostile);
    EXPECT_EQ(list[0].at("messages_cut"), 1);
    EXPECT_GT(list[0].at("most_budget_share").get<double>(), 0.5);
    std::set<int> lines;
    for (const auto& r : list) {
        lines.insert(r.at("line").get<int>());
        EXPECT_GE(r.at("cpu_seconds").get<double>(), r.at("most_seconds").get<double>());
        if (r.at("line") != 3) {
            EXPECT_EQ(r.at("messages_cut"), 0);
        }
    }
    EXPECT_EQ(lines, (std::set<int>{1, 3, 4}));
    // The score the budget leaves is the plugin's.
    for (const auto& m : doc.at("messages")) {
        const std::string name = m.at("message");
        const std::string file = dir.path() + "/spam/" + name.substr(name.rfind('/') + 1);
        EXPECT_EQ(m.at("score").get<int>(), pluginscore(testutil::readfile(rules), file)) << name;
    }

    const auto text = corpus({"--rules", rules, "--spam", dir.path() + "/spam", "--costs"});
    ASSERT_EQ(text.result, 0) << text.err;
    const size_t at = text.out.find("\nwork per rule:");
    ASSERT_NE(at, std::string::npos) << text.out;
    const std::string rows = text.out.substr(at);
    EXPECT_NE(rows.find("\n      3 "), std::string::npos) << rows;
    EXPECT_NE(rows.find("      1  " + hostile + "\n"), std::string::npos) << rows;
    EXPECT_NE(rows.find("; 1 rules cut short by the budget\n"), std::string::npos) << rows;
    // Without --costs, no rule is timed and nothing is said of work.
    const auto plain = corpus({"--rules", rules, "--spam", dir.path() + "/spam/plain"});
    EXPECT_EQ(plain.out.find("work per rule"), std::string::npos);
}

}  // namespace
