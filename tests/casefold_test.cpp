#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "scorelib.h"

namespace {

struct foldcase {
    std::string in, lower, upper;
};

std::string fold(char* (*fn)(const char*), const std::string& s) {
    char* p = fn(s.c_str());
    std::string r(p);
    std::free(p);
    return r;
}

TEST(casefold, escapesKeepTheirByteAndOnlyAsciiLettersFold) {
    const foldcase cases[] = {
        {"Viagra", "viagra", "VIAGRA"},
        {"A\\B", "a\\B", "A\\B"},
        {"\\d+ dollars", "\\d+ dollars", "\\d+ DOLLARS"},
        {"[a-z]+ deal", "[a-z]+ deal", "[A-Z]+ DEAL"},
        {"(?i)deal", "(?i)deal", "(?I)DEAL"},
        {"\\\\Ab", "\\\\ab", "\\\\AB"},  // an escaped backslash does not shield the A
        {"Ab\\", "ab\\", "AB\\"},        // a trailing backslash ends the walk
        {"\\", "\\", "\\"},
        {"", "", ""},
        {"\xC4\xE4\x80\xFF@[`{", "\xC4\xE4\x80\xFF@[`{", "\xC4\xE4\x80\xFF@[`{"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fold(lcstrdup, c.in), c.lower) << c.in;
        EXPECT_EQ(fold(ucstrdup, c.in), c.upper) << c.in;
    }
}

TEST(casefold, everyByteValueKeepsTheLength) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    const std::string lower = fold(lcstrdup, all), upper = fold(ucstrdup, all);
    ASSERT_EQ(lower.size(), all.size());
    ASSERT_EQ(upper.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const auto b = static_cast<unsigned char>(all[i]);
        if (b == '\\' || (i > 0 && all[i - 1] == '\\')) continue;
        EXPECT_EQ(static_cast<unsigned char>(lower[i]), b >= 'A' && b <= 'Z' ? b + 32 : b);
        EXPECT_EQ(static_cast<unsigned char>(upper[i]), b >= 'a' && b <= 'z' ? b - 32 : b);
    }
}

}  // namespace
