#include "fastpath/literalscan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Non-overlapping occurrences from left to right, as a substring search
// counts them.
pst::literalfacts reference(const std::string& text, const std::string& literal) {
    pst::literalfacts f;
    const size_t first = text.find(literal);
    if (first == std::string::npos) return f;
    f.first = first;
    f.last = text.rfind(literal);
    for (size_t p = first; p != std::string::npos; p = text.find(literal, p + literal.size()))
        ++f.count;
    return f;
}

void expectfacts(const pst::literalmap& got, const std::string& text, const std::string& literal) {
    const auto it = got.find(literal);
    ASSERT_NE(it, got.end()) << literal;
    const pst::literalfacts want = reference(text, literal);
    EXPECT_EQ(it->second.count, want.count) << literal << " in " << text;
    if (want.count == 0) return;
    EXPECT_EQ(it->second.first, want.first) << literal << " in " << text;
    EXPECT_EQ(it->second.last, want.last) << literal << " in " << text;
}

TEST(literalscan, overlappingAndNestedLiterals) {
    const std::string text = "abababa cheapcheap CHEAP heap\n";
    const std::vector<std::string> literals = {"aba",   "ab",        "b",   "abab",  "x",
                                               "cheap", "heap",      "eap", "CHEAP", "p\n",
                                               "aba",   "ababababa", "a",   "\n",    "cheapcheap"};
    const pst::literalmap got = pst::scanliterals(text, literals);
    for (const std::string& l : literals) expectfacts(got, text, l);
    EXPECT_EQ(got.at("aba").count, 2);   // at 0 and 4, not 2
    EXPECT_EQ(got.at("abab").count, 1);  // 0 and 2 overlap
    EXPECT_EQ(got.at("abab").last, 2u);
}

TEST(literalscan, agreesWithASubstringSearchOnRandomTexts) {
    std::mt19937 rng(20261208);
    auto randomstring = [&](size_t n, const char* alphabet, size_t k) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += alphabet[rng() % k];
        return s;
    };
    for (int round = 0; round < 200; ++round) {
        const std::string text = randomstring(rng() % 400, "abc\0\xff", 5);
        std::vector<std::string> literals;
        for (int i = 0; i < 30; ++i)
            literals.push_back(randomstring(1 + rng() % 6, "abc\0\xff", 5));
        const pst::literalmap got = pst::scanliterals(text, literals);
        for (const std::string& l : literals) expectfacts(got, text, l);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
