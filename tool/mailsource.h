// Saved mail for blocklistctl corpus: a message file, a directory of them, a
// Maildir (cur/ and new/) or an mbox file, each turned into a list of
// messages.
#pragma once

#include <string>
#include <vector>

namespace pst {

struct savedmessage {
    std::string name;     // the file, or "MBOX#N" for the Nth message of an mbox
    std::string path;     // the file to score; empty for a message of an mbox
    std::string content;  // the message of an mbox, unquoted
    int set = 0;          // the caller's label
};

// Appends the messages of source in a stable order (names sorted). A source
// that cannot be read is reported on standard error and adds nothing; the
// result is false then.
bool addmessages(const std::string& source, int set, std::vector<savedmessage>& out);

// The messages of an mbox text: split at the "From " lines that start the
// file or follow an empty line, without those lines, and each ">From " (with
// any number of ">") unquoted by one ">".
std::vector<std::string> splitmbox(const std::string& text);

}  // namespace pst
