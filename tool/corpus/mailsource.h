// Saved mail for blocklistctl corpus: a message file, a directory of them, a
// Maildir (cur/ and new/) or an mbox file (one that starts with a "From "
// line and holds more than one message), each turned into a list of
// messages. An mbox is indexed, not held: a message of it is read when it is
// scored, so memory does not grow with the mbox.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "holders.h"

namespace pst {

struct savedmessage {
    std::string name;  // the file, or "MBOX#N" for the Nth message of an mbox
    std::string path;  // the message file, or the mbox
    // Where the message lies in an mbox, its separator line left out; length
    // 0 and inmbox false for a message file.
    bool inmbox = false;
    uint64_t offset = 0, length = 0;
    int set = 0;  // the caller's label
};

// Appends the messages of source in a stable order (names sorted). A source
// that cannot be read is reported on standard error and adds nothing; the
// result is false then.
bool addmessages(const std::string& source, int set, std::vector<savedmessage>& out);

// The message of an mbox as the plugin should see it: its bytes without the
// empty line that belongs to the next separator, and each ">From " (with any
// number of ">") unquoted by one ">". Empty with an error on failure.
std::string readmboxmessage(const savedmessage& m, std::string& error);

}  // namespace pst
