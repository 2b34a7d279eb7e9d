// The picture of a corpus run: the score distributions of ham and spam, and
// the false-positive and false-negative rates over the threshold.
#pragma once

#include <string>
#include <vector>

namespace pst {

constexpr int plotwidth = 800, plotheight = 600;

// Whether path names a kind of picture plotscores draws: ".svg" or ".png".
bool plotnameknown(const std::string& path);

// path ends in ".svg" or ".png". Returns false with the reason in error.
bool plotscores(const std::string& path, const std::vector<int>& hamscores,
                const std::vector<int>& spamscores, std::string& error);

}  // namespace pst
