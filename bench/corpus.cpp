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

rule makerule(std::mt19937& rng, int kind) {
    // Rule words are longer than message words, so rules hit only where planted.
    const std::string a = randomword(rng, 7, 10), b = randomword(rng, 7, 10);
    switch (kind % 6) {
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
        default:
            return {a + ".{0,20}" + b, a + " and " + b};
    }
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

}  // namespace benchcorpus
