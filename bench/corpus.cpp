#include "corpus.h"

#include <random>
#include <vector>

namespace benchcorpus {
namespace {

std::string randomword(std::mt19937& rng, size_t minlen, size_t maxlen) {
    const size_t len = minlen + rng() % (maxlen - minlen + 1);
    std::string w;
    for (size_t i = 0; i < len; ++i) w += static_cast<char>('a' + rng() % 26);
    return w;
}

struct rule {
    std::string pattern;
    std::string sample;  // a text the pattern matches
};

// A rule of one of eight kinds made of the words a and b, and a text it
// matches: phrases, \b words, a class with + before a word, \s+ between
// words, alternations, bounded gaps, and numbers after or before a word.
rule rulewith(std::mt19937& rng, int kind, const std::string& a, const std::string& b) {
    switch (kind) {
        case 0:
            return {a + " " + b, a + " " + b};
        case 1:
            return {"\\b" + a + "\\b", a};
        case 2:
            return {"[a-z]+" + a, "x" + a};
        case 3:
            return {a + "\\s+" + b, a + "  " + b};
        case 4:
            return {a + "|" + b, b};
        case 5:
            return {a + ".{0,20}" + b, a + " and " + b};
        case 6:
            return {a + " [0-9]+", a + " " + std::to_string(rng() % 1000)};
        default:
            return {"\\d+ " + a, std::to_string(rng() % 1000) + " " + a};
    }
}

rule makerule(std::mt19937& rng, int kind) {
    // Rule words are longer than message words, so rules hit only where planted.
    const std::string a = randomword(rng, 7, 10), b = randomword(rng, 7, 10);
    return rulewith(rng, kind % 6, a, b);
}

}  // namespace

corpus make(int rules, size_t size, int hitpercent, uint32_t variant) {
    std::mt19937 rng(variant);
    std::vector<std::string> common;
    for (int i = 0; i < 2000; ++i) common.push_back(randomword(rng, 2, 6));

    corpus c;
    std::vector<std::string> planted;
    for (int i = 0; i < rules; ++i) {
        const rule r = makerule(rng, i);
        c.rules += std::to_string(1 + static_cast<int>(rng() % 20)) + " " + r.pattern + "\n";
        if (static_cast<int>(rng() % 100) < hitpercent) planted.push_back(r.sample);
    }

    c.message = "From: sender@example.net\nTo: admin@example.org\nSubject: [list] weekly " +
                common[0] + "\n\n";
    size_t next = 0;
    const size_t every = planted.empty() ? size : size / (planted.size() + 1);
    size_t line = 0;
    while (c.message.size() < size) {
        if (next < planted.size() && c.message.size() >= every * (next + 1)) {
            c.message += " " + planted[next++] + " ";
        } else {
            c.message += common[rng() % common.size()];
            c.message += ' ';
        }
        if (c.message.size() - line > 70) {
            c.message += '\n';
            line = c.message.size();
        }
    }
    while (next < planted.size()) c.message += planted[next++] + "\n";
    return c;
}

corpus makefrequent(int rules, size_t size, int hitpercent, uint32_t variant) {
    std::mt19937 rng(variant);
    std::vector<std::string> common, frequent;
    for (int i = 0; i < 2000; ++i) common.push_back(randomword(rng, 2, 6));
    for (int i = 0; i < 30; ++i) frequent.push_back(randomword(rng, 3, 5));

    corpus c;
    std::vector<std::string> planted;
    for (int i = 0; i < rules; ++i) {
        const bool hits = static_cast<int>(rng() % 100) < hitpercent;
        const std::string a = hits ? frequent[rng() % frequent.size()] : randomword(rng, 7, 10);
        const std::string b = hits ? frequent[rng() % frequent.size()] : randomword(rng, 7, 10);
        const rule r = rulewith(rng, i % 8, a, b);
        c.rules += std::to_string(1 + static_cast<int>(rng() % 20)) + " " + r.pattern + "\n";
        if (hits) planted.push_back(r.sample);
    }

    c.message = "From: sender@example.net\nTo: admin@example.org\nSubject: [list] weekly " +
                common[0] + "\n\n";
    // A fifth of the words are the frequent ones.
    size_t line = c.message.size(), next = 0;
    const size_t every = planted.empty() ? size : size / (planted.size() + 1);
    while (c.message.size() < size) {
        if (next < planted.size() && c.message.size() >= every * (next + 1))
            c.message += planted[next++];
        else if (rng() % 5 == 0)
            c.message += frequent[rng() % frequent.size()];
        else
            c.message += common[rng() % common.size()];
        c.message += ' ';
        if (c.message.size() - line > 70) {
            c.message += '\n';
            line = c.message.size();
        }
    }
    // A small message holds what fits: its rules hit where their words occur.
    c.message += '\n';
    return c;
}

namespace {

std::string filled(const std::string& unit, size_t size) {
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() < size) s += unit;
    s.resize(size);
    return s;
}

std::string newsletter(size_t size) {
    std::string s;
    for (int i = 0; s.size() < size; ++i)
        s += "line " + std::to_string(i) + ": get it free today, subscribe now\n";
    return s;
}

std::string dottedwords(size_t size) {
    std::string s = "!!";
    while (s.size() < size) s += (s.size() > 2 ? "." : " ") + std::string("abcdefghijklmnopqrst");
    return s;
}

}  // namespace

const std::vector<shape>& hostileshapes() {
    static const std::vector<shape> shapes = {
        {"free_money_money_first", "10 free.*money",
         [](size_t n) { return "money " + filled("free ", n); }, 1 << 20},
        {"free_money_newsletter", "10 free.*money", newsletter, 1 << 20},
        {"letters_deal", "4 [a-z]+ deal",
         [](size_t n) { return " deal " + filled("abcdefghij", n); }, 1 << 20},
        {"address_letters", "3 \\w+@\\w+\\.com",
         [](size_t n) { return "me@here.com " + filled("abcdefghij", n); }, 1 << 20},
        {"domain_dots", "10 (?:[a-z0-9-]+\\.)+com\\b",
         [](size_t n) { return "com " + filled("a.", n); }, 1 << 20},
        {"nested_words", "5 (?:[a-z]+\\s?)+!!", dottedwords, 4400},
        {"reset_in_lookahead", "10 (?=ab\\K)", [](size_t) { return std::string("ab"); }, 2},
        {"alternation_run", "10 (?:a|b)+", [](size_t n) { return filled("ab", n); }, 1 << 20},
        // Ordinary rules that the library searches in milliseconds on mail of
        // ordinary size: exact, never cut.
        {"mailto_ru", "4 mailto:[^@ ]+@[a-z.]+\\.ru",
         [](size_t n) { return filled("mailto:abc ", n); }, 55'000},
        {"quoted_unsubscribe", "5 \"[^\"]*\"\\s*>\\s*unsubscribe",
         [](size_t n) { return filled("\"ab\" ", n); }, 75'000},
        {"anchor_click", "5 <a [^>]+>click", [](size_t n) { return ">" + filled("<a href=x ", n); },
         100'000},
        {"letters_after_deal", "1 [a-z]+ deal", [](size_t n) { return "x deal " + filled("q", n); },
         16'000},
        {"dot_plus_win", "1 .+win", [](size_t n) { return filled("x", n); }, 9'000},
        {"a_or_aa_at_end", "10 (a|aa)+$",
         [](size_t n) { return filled("aaaaaaaaaaaaaaaaaaaaaaaaaaaac ", n); }, 150},
        {"dotted_com", "5 (?:[a-z]+\\.)+com", [](size_t n) { return filled("a.", n); }, 6'000},
        {"any_or_x_dollars", "1 (?:.*|x)dollars", [](size_t n) { return filled("x", n); }, 7'000},
        // Class repeats the library scans without counting them in its match
        // limit, after a literal: quadratic, and cut by the budget.
        {"src_scan", "5 src=(?:3d)?[^>]+>free",
         [](size_t n) { return ">" + filled("src=3dx ", n); }, 1 << 20},
        {"to_scan", "5 to:\\s*[^@]+@bank", [](size_t n) { return "@bank" + filled("to: ", n); },
         1 << 20},
    };
    return shapes;
}

corpus combinedshapes(size_t size) {
    corpus c = make(1000, 0, 3);
    c.message = "Subject: [list] all the shapes\n\n";
    const size_t each = size / hostileshapes().size();
    for (const shape& s : hostileshapes()) {
        c.rules += std::string(s.rule) + "\n";
        c.message += s.body(each) + "\n";
    }
    return c;
}

}  // namespace benchcorpus
