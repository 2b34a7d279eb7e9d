// The picture of a corpus run: the score distributions of ham and spam, and
// the false-positive and false-negative rates over the threshold, both over
// the buckets of the text report, with the threshold marked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "corpus/buckets.h"

namespace pst {

constexpr int plotwidth = 800, plotheight = 600;

// Whether path names a kind of picture plotscores draws: ".svg" or ".png".
bool plotnameknown(const std::string& path);

struct plotinput {
    const scorebuckets& buckets;
    const std::vector<int>& ham;
    const std::vector<int>& spam;
    std::optional<int> threshold;
};

// path ends in ".svg" or ".png". Returns false with the reason in error.
bool plotscores(const std::string& path, const plotinput& in, std::string& error);

}  // namespace pst
