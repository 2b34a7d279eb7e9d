#include "message/subject.h"

#include <gtest/gtest.h>

#include <string>

#include "scorelib.h"

namespace {

std::string cleaned(std::string line) {
    const size_t len = pst::removetags(line.data(), line.size());
    EXPECT_EQ(line.c_str()[len], '\0');
    return line.substr(0, len);
}

TEST(subject, tagRemoval) {
    const std::pair<std::string, std::string> cases[] = {
        {"Subject: [SPAM] [list] cheap pills\n", "Subject:   cheap pills\n"},
        {"Subject: a]b [c]\n", "Subject: a]b [c]\n"},
        {"Subject: [unclosed\n", "Subject: [unclosed\n"},
        {"Subject: closed]\n", "Subject: closed]\n"},
        {"Subject: x [a [b] c] y\n", "Subject: x  c] y\n"},
        {"[pre]Subject: x\n", "Subject: x\n"},
        {"Subject: [a][b][c]d", "Subject: d"},
        {"Subject: [a] x ] [y", "Subject:  x ] [y"},
        {"[]", ""},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(cleaned(in), out) << in;
}

TEST(subject, manyTagsAreRemovedInOnePass) {
    std::string line = "Subject: ";
    for (int i = 0; i < 1000000; ++i) line += "[]";
    line += "x]y[";
    EXPECT_EQ(cleaned(line), "Subject: x]y[");
}

TEST(subject, subjectLineRecognition) {
    const std::pair<const char*, bool> cases[] = {
        {"Subject: hello", true},  {"SUBJECT: hello", true}, {"subject: hello", true},
        {"Subjects: hello", true}, {"subject", true},        {"X-Subject: hello", false},
        {"Subjec", false},         {" Subject: x", false},   {"", false},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(pst::issubjectline(line), expected) << line;
}

TEST(subject, chrpos) {
    EXPECT_EQ(chrpos("abc[d]", '['), 3);
    EXPECT_EQ(chrpos("abc[d]", ']'), 5);
    EXPECT_EQ(chrpos("[[", '['), 0);
    EXPECT_EQ(chrpos("abc", '['), -1);
    EXPECT_EQ(chrpos("", '['), -1);
    EXPECT_EQ(chrpos("\xFF", 0xFF), 0);
}

}  // namespace
