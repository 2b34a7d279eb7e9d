// Reading a message: the header block for its Subject line, the body, and
// the scan text built from them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "holders.h"

namespace pst {

class sysio;

// Opens without waiting for a writer, as a FIFO would make an ordinary open
// wait forever; reads then block as usual (a FIFO without a writer reads as
// empty). -1 on failure.
int openforreading(sysio& sys, const char* path);

struct scantext {
    cbuf text;
    size_t len = 0;
    size_t bodylen = 0;
    size_t subjectlen = 0;  // one copy; the copies end the text
    bool readfailed = false;
    bool headerended = false;  // by an empty line
    bool encoded = false;      // a base64 or quoted-printable transfer encoding
};

// Reads the header block and the body of a message of size bytes from fd and
// builds the scan text: the body, then the cleaned Subject line three times.
scantext readmessage(sysio& sys, int fd, uint64_t size);

}  // namespace pst
