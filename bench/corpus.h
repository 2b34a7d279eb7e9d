// Generated rule files and messages for the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace benchcorpus {

struct corpus {
    std::string rules;
    std::string message;
};

// rules: number of rules of realistic kinds (phrases, \b words, classes with
// +, \s+ between words, short alternations, bounded gaps); size: message
// bytes; hitpercent: the share of rules that occur in the message.
corpus make(int rules, size_t size, int hitpercent, uint32_t variant = 42);

}  // namespace benchcorpus
