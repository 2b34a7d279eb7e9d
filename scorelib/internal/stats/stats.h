// The hit statistics file: for every pattern that hits, the time of its
// latest hit, one "%d %s\n" line per pattern in first-recorded order.
//
// Guarantees of the rewrite: the path always names one complete file, the old
// one or the new one; only a regular file is ever read or replaced (a link,
// a device or a FIFO at the path switches recording off); memory does not
// grow with the file (one line of at most linecutter::maxline bytes, the
// blocks in flight and the hits) and time grows linearly with it.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "stats/statslines.h"

namespace pst {

class sysio;

// Recording is on for a whole evaluation when the path names a regular file
// (not through a link) that opens for reading at its start; the plugin never
// creates the file.
bool statsenabled(sysio& sys, const char* path);

struct recordedhit {
    std::string pattern;  // as written in the rule file
    time_t when;
};

// The rewrite of the file's content as a stream: every line whose pattern hit
// gets that pattern's latest time, lines without a space are dropped, a last
// line without a newline gets one, and patterns not found are appended in the
// order of their first hit. A line longer than linecutter::maxline is copied
// unchanged when a space comes within its first maxline bytes, and dropped
// otherwise. What is ready to write collects in out().
class statsrewrite {
   public:
    explicit statsrewrite(const std::vector<recordedhit>& hits);
    void feed(std::string_view chunk);
    void finish();
    std::string& out() { return out_; }

   private:
    struct latest {
        time_t when;
        bool written;
    };
    void line(std::string_view text);
    void putrecord(time_t when, std::string_view pattern);

    const std::vector<recordedhit>& hits_;
    std::unordered_map<std::string_view, latest> bypattern_;
    linecutter cutter_;
    bool copylong_ = false;
    std::string out_;
};

// The whole rewrite of an old content at once.
std::string rewritestats(std::string_view old, const std::vector<recordedhit>& hits);

// The hits of one evaluation, in the order they happened.
class hitlog {
   public:
    void add(std::string_view pattern, time_t when);
    bool empty() const { return hits_.empty() && !failed_; }

    // Rewrites the file once with every hit, giving the same file as one
    // rewrite per hit in order would. Returns false when the file was left
    // as it was (no file, not a regular file, a read or write error, a full
    // disk).
    bool apply(sysio& sys, const char* path) const;

   private:
    std::vector<recordedhit> hits_;
    bool failed_ = false;
};

}  // namespace pst
