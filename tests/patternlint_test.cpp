// The case options as blocklistctl reads them: which capitals can never
// match the folded text, and the rewrite that drops (?i) without changing
// what a rule counts there, checked against the library itself.
#include "patternlint.h"

#include <gtest/gtest.h>

#include <string>

#include "fixcase.h"
#include "scorelib.h"

namespace {

TEST(patternlint, capitalsTheFoldedTextCanNeverMatch) {
    const struct {
        const char* pattern;
        char capital;
    } cases[] = {
        {"Viagra", 'V'},
        {"(?i)Your Family", 0},
        {"(?i:Ab)C", 'C'},
        {"(a(?i)B)C", 'C'},  // a setting holds to the end of its group
        {"a(?i)b|C", 0},     // and over the alternatives after it
        {"(?i)a(?-i)B", 'B'},
        {"(?im)X", 0},
        {"(?m-i)X", 'X'},
        {"(?U)abc", 0},  // option letters are no text
        {"(?<Name>x)\\k<Name>", 0},
        {"(?#Comment)x", 0},
        {"\\d+ \\S\\W\\cA", 0},  // escapes keep their letters
        {"[[:alpha:]]x", 0},
        {"[a-Z]", 'Z'},
        {"(?i)[A-Z]", 0},
        {"\\QAb\\E", 'A'},
        {"\\x4A\\x{4B}", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(pst::casedcapital(c.pattern), c.capital) << c.pattern;
}

// Folded texts in which a rewrite must count what the (?i) pattern counts:
// no capital right after a backslash, which folding keeps.
const char* const texts[] = {
    "your family deal\nyour  family, yourfamily ab abc aab\n",
    "[x] a-z_z 0123 free!!! \x01\x7f\xc3\xa9 m\xe9 {}()^$ \\ / win\nwin \n",
    "",
};

TEST(patternlint, foldedPatternsCountWhatTheCaselessOnesCount) {
    const struct {
        const char* pattern;
        const char* folded;  // "" for none
    } cases[] = {
        {"(?i)Your Family", "your family"},
        {"(?i)deal", "deal"},
        {"(?i:Ab)C", "(?:ab)C"},
        {"(?i:Ab)c", "(?:ab)c"},
        {"x(?im)^WIN$", "x(?m)^win$"},
        {"(?i)a(?-i)B", "aB"},
        {"(?i)(?<Name>A)\\k<Name>", "(?<Name>a)\\k<Name>"},
        {"(?i)[A-Z_]+", "[a-z_]+"},
        {"(?i)[^A-F]", "[^a-f]"},
        {"(?i)[[:lower:]X]", "[[:lower:]x]"},
        {"(?i)[[:upper:]X]", ""},  // every letter without regard to case
        {"(?i)\\bFree\\W+", "\\bfree\\W+"},
        {"(?i)\\QAB\\E", "\\Qab\\E"},
        {"(?i)\\cAZ", "\\cAz"},
        {"(?i)[0-z]", "[0-z]"},
        {"(?i)[\\x00-\\x2F\\xE9]\\xC3", "[\\x00-\\x2F\\xE9]\\xC3"},
        {"(?i)[!-_]", ""},       // a range lower case would change
        {"(?i)[A-z]", "[A-z]"},  // every capital with its lower case
        {"(?i)\\x41", ""},       // a letter by its code
        {"(?i)\\x{4a}", ""},
        {"(?i)(a)\\1", ""},
        {"(?i)[\\x41-Z]", ""},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> f = pst::foldedpattern(c.pattern);
        EXPECT_EQ(f.value_or(""), c.folded) << c.pattern;
        if (!f) continue;
        for (const char* t : texts)
            EXPECT_EQ(countmatches(t, f->c_str(), 0), countmatches(t, c.pattern, 0))
                << c.pattern << " in " << t;
    }
}

TEST(patternlint, fixCaseRewritesOnlyRulesWhoseCapitalsCannotCompile) {
    const struct {
        const char* line;
        const char* fixed;  // "" for a line left as it is
    } cases[] = {
        {"29 (?i)Your Family\n", "=29 your family\n"},
        {"+5 (?s)a.b\r\n", "=+5 (?s)a.b\r\n"},
        {"5 (?i)\\x41\n", "=5 (?i)\\x41\n"},
        {"=5 (?i)deal\n", ""},  // exact already: no capitals pass
        {"5 cheap\n", ""},
        {"5 (\n", ""},  // a pattern that does not compile is check's
        {"5 (?i)de\0al\n", ""},
        {"x\n", ""},
    };
    for (const auto& c : cases) {
        std::string why;
        const std::string line(c.line, std::char_traits<char>::length(c.line) +
                                           (std::string_view(c.line) == "5 (?i)de" ? 4 : 0));
        EXPECT_EQ(pst::fixcaseline(line, why).value_or(""), c.fixed) << c.line;
        EXPECT_EQ(why.empty(), *c.fixed == '\0') << c.line;
    }
}

}  // namespace
