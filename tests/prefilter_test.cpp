// The prefilter against the library: where they could read a pattern
// differently, a pattern the prefilter does not flag must count nothing and
// report nothing in the library's own search.
#include "fastpath/prefilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counting/counter.h"
#include "fastpath/prefilterpattern.h"
#include "message/casefold.h"
#include "rules/compiledrules.h"
#include "rules/rulefile.h"
#include "sink.h"
#include "system/sysio.h"
#include "testutil.h"

namespace {

// Whatever the search reports.
class reports final : public pst::evalsink {
   public:
    int lines = 0;
    void message(const read&) override {}
    void hit(const pst::rulehit&) override { ++lines; }
    void compilefailed(const char*, int) override { ++lines; }
    void searchfailed(int, const char*, int) override { ++lines; }
    void cannotopen(file) override { ++lines; }
    void readfailed(file) override { ++lines; }
    void exhausted(const char*) override { ++lines; }
};

// Whether the prefilter of the one pattern flags it in text.
bool flags(const std::vector<std::string>& strings, const std::string& text) {
    std::vector<uint32_t> refused;
    pst::prefilter filter;
    if (!filter.load(pst::buildprefilter({{&strings, 0}}, refused))) return true;
    std::vector<bool> flagged(1, false);
    EXPECT_TRUE(filter.scan(text, flagged));
    return flagged[0];
}

struct construct {
    const char* what;
    std::string pattern;
    std::string text;  // one the library may match in a way the prefilter could miss
    bool usable;       // whether the prefilter may stand for the pattern at all
};

TEST(prefilter, neverSilentWhereTheLibraryMatchesOrReports) {
    const std::string longtext(300, 'x');
    const construct rows[] = {
        {"a plain word", "cheap", "so cheap", true},
        {"a word past the first 64 bytes", "cheap", longtext + "cheap", true},
        {"only the empty text", "(?:x*)", "abc", false},
        {"\\b beside a high byte", "\\bcaf\\xe9\\b", "un caf\xe9!", true},
        {"a negated class on a high byte", "[^a-z]deal",
         "\xe9"
         "deal",
         true},
        {"\\w is ASCII only", "free\\w\\w\\w", "free\xe9\xe9\xe9", true},
        {"\\W takes high bytes", "free\\Wmoney", "free\xe9money", true},
        {"\\s takes the vertical tab", "free\\smoney", "free\vmoney", true},
        {"$ before a final newline", "money$", "money\n", true},
        {"(?m) anchors", "(?m)^money$", "x\nmoney\ny", true},
        {"a dot takes newlines", "free.money", "free\nmoney", true},
        {"(?-s) keeps its dot", "(?-s)free.money", "free money", true},
        {"a lookahead", "free(?=money)", "freemoney", true},
        {"a negative lookbehind", "(?<!x)deal", "a deal", true},
        {"a back-reference", "(deal)\\1", "dealdeal", false},
        {"\\K", "free\\Kmoney", "freemoney", false},
        {"\\G", "\\Gcheap", "cheap", true},
        {"a verb", "(*CR)cheap", "cheap", false},
        {"recursion", "(a(?R)?b)", "aabb", false},
        {"extended mode", "(?x) c h e a p", "cheap", false},
        {"\\Q...\\E", "\\Qa.b\\E", "a.b", false},
        {"(?i) on a word", "(?i)ChEaP", "cheap CHEAP", true},
        {"(?i) in a group only", "(?i:f)ree", "Free", true},
        {"(?i) then a negated class", "(?i:ab)[^x]cde", "ABXcde", true},
        {"hex escapes", "\\x63\\x{68}eap", "cheap", true},
        {"a class with ] first", "[]x]deal", "]deal", true},
        {"a range of escapes", "[\\x61-\\x63]heap", "cheap", true},
        {"a bounded repeat", "fre{1,3}money", "freeemoney", true},
        {"a repeated group", "(?:ab){2}cd", "ababcd", true},
        {"an optional word", "dollars?", "dollar", true},
        {"an atomic group", "(?>cheap)deal", "cheapdeal", true},
        {"a possessive repeat", "che++ap", "cheeeap", true},
        {"an empty alternative", "(?:|big )deal", "deal", true},
        {"a named group", "(?<n>cheap)", "cheap", true},
        {"a comment", "che(?#x)ap", "cheap", true},
        {"an unbounded scan", "free.*money", "free " + longtext + " money", true},
        {"nested repeats", "(?:a+)+b", "aaab", false},
        {"the capitals of \\s", "FREE\\SMONEY", "FREExMONEY", true},
        {"the capitals of (?i)", "(?I)FREE", "FREE", false},
        {"the capitals of \\x", "\\X63HEAP", "cheap", false},
    };
    for (const construct& c : rows) {
        const pst::prefilterpattern p = pst::prefilterfor(c.pattern);
        EXPECT_EQ(p.usable, c.usable) << c.what;
        reports r;
        const int found = pst::countonce(c.text, c.pattern.c_str(), r);
        if (!p.usable || c.text.size() > p.quietupto) continue;
        EXPECT_FALSE((found > 0 || r.lines > 0) && !flags(p.strings, c.text)) << c.what;
        // And a text without any of its strings is one the library finds
        // nothing in.
        reports none;
        EXPECT_EQ(pst::countonce("nothing here", c.pattern.c_str(), none), 0) << c.what;
    }
}

// The quiet bound: a text no longer than it never takes a search near the
// library's limits, even where the prefilter flags nothing.
TEST(prefilter, aQuietTextNeverReachesALimit) {
    const std::string runs = std::string(20000, 'a') + std::string(20000, ' ');
    const char* const patterns[] = {"a.*b.*c", "(?:a|aa)+xyz", "[a ]*[a ]*[a ]*xyz",
                                    "(?:\\w+\\s+){1,20}xyz", "a.{0,900}a.{0,900}xyz"};
    for (const char* pattern : patterns) {
        const pst::prefilterpattern p = pst::prefilterfor(pattern);
        if (!p.usable) continue;
        const std::string text = runs.substr(0, std::min<uint64_t>(runs.size(), p.quietupto));
        reports r;
        EXPECT_EQ(pst::countonce(text, pattern, r), 0) << pattern;
        EXPECT_EQ(r.lines, 0) << pattern << " on " << text.size() << " bytes";
    }
}

// A form whose prefilter is damaged is still used, without the prefilter;
// the library's own checksum finds the damage.
TEST(prefilter, aDamagedPrefilterIsLeftUnused) {
    if (!pst::prefilteravailable()) GTEST_SKIP() << pst::prefilterversion();
    // Rules their literals do not leave out: only those are in the prefilter.
    const std::string rules = "1 (?:cheap|low)+ deals\n2 fr(?=e)ee money\n";
    pst::rulefile f;
    pst::takerulelines(f, rules);
    pst::parserules(pst::weights::all, f);
    std::string form = pst::compiledrules::make(f);
    testutil::tempdir dir;
    pst::sysio sys;
    for (const bool damaged : {false, true}) {
        if (damaged) form[form.size() - 100] ^= 0x55;
        const std::string path = dir.file("rules.compiled", form);
        pst::compiledrules c;
        std::string why;
        ASSERT_TRUE(c.load(sys, path.c_str(), f, why)) << why;
        EXPECT_EQ(c.filter() == nullptr, damaged);
        pst::ruleplan plan;
        EXPECT_TRUE(c.planfor(2, plan));
    }
}

}  // namespace
