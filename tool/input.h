// The files blocklistctl hands to the scoring library, which reads by path:
// a named file as it is, standard input ("-") or a text given on the command
// line copied into an anonymous memory file first.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "holders.h"

namespace pst {

struct rulefile;
class ruleset;

class inputfile {
   public:
    // path "-" reads standard input to its end. On failure the holder is
    // empty and the reason has been written to standard error.
    static inputfile named(const char* path);
    static inputfile text(std::string_view content, const char* what);
    // A copy of a regular file (or of standard input), read once: what is
    // read from it later stays the same however the file changes meanwhile.
    static inputfile snapshot(const char* path);

    explicit operator bool() const { return !path_.empty(); }
    // What the library opens, and what the reports call it.
    const char* path() const { return path_.c_str(); }
    const char* name() const { return name_.c_str(); }

   private:
    inputfile() = default;
    inputfile(std::string path, std::string name, fdholder memory)
        : memory_(std::move(memory)), path_(std::move(path)), name_(std::move(name)) {}

    fdholder memory_;  // the memory file, for standard input and texts
    std::string path_, name_;
};

// Says on standard error that name cannot be read, and why; false.
bool cannotread(const char* name, const char* why);

// Opens path for reading without waiting for a FIFO's writer, and only when
// it is a regular file (as the plugin insists for its rule file; a device may
// never end). Empty, having said why under name, otherwise.
fdholder openregular(const char* path, const char* name);

// A copy of content in an anonymous memory file, read from its start: rather
// than a temporary file, as nothing is left behind, not even after kill -9,
// and it is a regular file, as the plugin insists. Empty on failure (errno).
fdholder memorycopy(std::string_view content);

// The lines of a rule file, read as the plugin reads them: opened without
// waiting for a FIFO's writer, only a regular file, every line whole. False,
// having said why, when it cannot be read.
bool readrulefile(const inputfile& file, rulefile& f);

// The rules of a rule file read the same way, kept compiled for scoring
// many messages, with the compiled form at formpath where it fits them and
// is trusted as the plugin trusts it. Null, having said why, when it cannot
// be read.
std::unique_ptr<ruleset> loadruleset(const inputfile& file, const char* formpath = nullptr);

// Replaces path with bytes at once, readable by all: written and synced
// beside it, then renamed over it, and the directory synced. On failure
// path is as it was, nothing is left beside it, and error says why. With
// like, the file gets like's owner and group where this process may give
// them, and like's mode less any write bit for group and others.
bool replacefile(const std::string& path, const std::string& bytes, std::string& error,
                 const struct stat* like = nullptr);

}  // namespace pst
