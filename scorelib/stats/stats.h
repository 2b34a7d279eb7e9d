// The hit statistics file: for every pattern that hits, the time of its
// latest hit, one "%d %s\n" line per pattern in first-recorded order.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace pst {

class sysio;

// Recording is on for a whole evaluation when the file opens for reading at
// its start; the plugin never creates the file.
bool statsenabled(sysio& sys, const char* path);

struct recordedhit {
    std::string pattern;  // as written in the rule file
    time_t when;
};

// The new file content after the given hits, in order, on the old content:
// every line whose pattern hit gets that pattern's latest time, lines without
// a space are dropped, a last line without a newline gets one, and patterns
// not found are appended in the order of their first hit.
std::string rewritestats(std::string_view old, const std::vector<recordedhit>& hits);

// The hits of one evaluation, in the order they happened.
class hitlog {
   public:
    void add(std::string_view pattern, time_t when);
    bool empty() const { return hits_.empty() && !failed_; }

    // Rewrites the file once with every hit, giving the same file as one
    // rewrite per hit in order would. Returns false when the file was left
    // as it was (no file, a read or write error, a full disk).
    bool apply(sysio& sys, const char* path) const;

   private:
    std::vector<recordedhit> hits_;
    bool failed_ = false;
};

}  // namespace pst
