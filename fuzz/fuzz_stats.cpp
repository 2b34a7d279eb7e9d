// The statistics rewrite over an arbitrary file and hits: one rewrite with
// all hits equals one rewrite per hit, and every line it writes is well formed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "stats/stats.h"

// Input: the old file, a 0xFF byte, then the hit patterns, one per line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\xFF');
    const std::string_view old = input.substr(0, split);
    std::vector<pst::recordedhit> hits;
    if (split != std::string_view::npos) {
        std::string_view rest = input.substr(split + 1);
        time_t when = 1000;
        while (!rest.empty() && hits.size() < 64) {
            const size_t end = rest.find('\n');
            hits.push_back({std::string(rest.substr(0, end)), when++});
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        }
    }
    const std::string batch = pst::rewritestats(old, hits);
    std::string sequential(old);
    for (const auto& h : hits) sequential = pst::rewritestats(sequential, {h});
    if (hits.empty()) sequential = pst::rewritestats(old, {});
    if (batch != sequential) std::abort();
    if (!batch.empty() && batch.back() != '\n') std::abort();
    std::string_view lines(batch);
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        if (lines.substr(0, end).find(' ') == std::string_view::npos) std::abort();
        lines.remove_prefix(end + 1);
    }
    return 0;
}
