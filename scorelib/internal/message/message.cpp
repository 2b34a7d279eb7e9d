#include "message/message.h"

#include <fcntl.h>

#include <cstring>
#include <string_view>

#include "message/reader.h"
#include "message/subject.h"
#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {

int openforreading(sysio& sys, const char* path) {
    const int fd = sys.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

scantext readmessage(sysio& sys, int fd, uint64_t size) {
    cbuf body = allocbuf(size + 4);
    if (!body) outofmemory(nomemoryforbuf);
    cbuf line = allocbuf(size + 4);
    if (!line) outofmemory(nomemoryforline);

    // Each read takes at most size - 1 bytes, so a line as long as the whole
    // file is split, and its last byte read as a line of its own.
    boundedreader reader(sys, fd, size);
    char* subject = nullptr;
    size_t subjectlen = 0;
    bool headerended = false, encoded = false;
    while (!reader.eof()) {
        reader.readline(line.get(), size);
        size_t len = std::strlen(line.get());
        if (len == 1) {  // the empty line that ends the header block
            headerended = true;
            break;
        }
        encoded = encoded || namesencoding(std::string_view(line.get(), len));
        if (!issubjectline(std::string_view(line.get(), len))) continue;
        len = removetags(line.get(), len);
        // Header and body are disjoint parts of at most size bytes read, so the
        // subject copy waits at the back of the body buffer and the body,
        // growing from the front, never reaches it. A later Subject line
        // replaces it.
        subject = body.get() + size + 4 - (len + 1);
        std::memcpy(subject, line.get(), len + 1);
        subjectlen = len;
    }
    size_t bodylen = 0;
    while (!reader.eof()) {
        reader.readline(line.get(), size);
        const size_t len = std::strlen(line.get());
        std::memcpy(body.get() + bodylen, line.get(), len);
        bodylen += len;
    }
    line.reset();

    scantext scan;
    scan.len = bodylen + 3 * subjectlen;
    scan.bodylen = bodylen;
    scan.subjectlen = subjectlen;
    scan.readfailed = reader.failed();
    scan.headerended = headerended;
    scan.encoded = encoded;
    scan.text = allocbuf(scan.len + 4);
    if (!scan.text) outofmemory(nomemoryfornbuf);
    char* out = scan.text.get();
    if (bodylen > 0) std::memcpy(out, body.get(), bodylen);
    out += bodylen;
    if (subject)
        for (int i = 0; i < 3; ++i, out += subjectlen) std::memcpy(out, subject, subjectlen);
    *out = '\0';
    return scan;
}

}  // namespace pst
