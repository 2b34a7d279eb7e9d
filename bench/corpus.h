// Generated rule files and messages for the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace benchcorpus {

struct corpus {
    std::string rules;
    std::string message;
};

// rules: number of rules of realistic kinds (phrases, \b words, classes with
// +, \s+ between words, short alternations, bounded gaps); size: message
// bytes; hitpercent: the share of rules that occur in the message.
corpus make(int rules, size_t size, int hitpercent, uint32_t variant = 42);

// The same kinds of rules, and [0-9]+ and \d+, on mail as a server sees it:
// the rules that hit are made of short words that are frequent in the text
// (as "free", "click" or "http" are in real mail), so that each finds its
// words hundreds of times in 100 KB; the others' words never occur.
corpus makefrequent(int rules, size_t size, int hitpercent, uint32_t variant = 42);

// One rule and a message of about size bytes that together made one scan run
// for minutes before searches had a budget.
struct shape {
    const char* name;
    const char* rule;
    std::string (*body)(size_t size);
    size_t size;  // the size measured
};
const std::vector<shape>& hostileshapes();

// A message of about size bytes holding every body of hostileshapes() in
// turn, and the rules of all of them.
corpus combinedshapes(size_t size);

}  // namespace benchcorpus
