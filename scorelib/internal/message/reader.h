// Line reading for the message file and the rule file.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "system/outofmemory.h"
#include "system/sysio.h"

namespace pst {

// Reads a descriptor in large blocks, never more than limit bytes in all: the
// message's buffers are sized from the file size taken once, so growth of the
// file during the call is not read. A read error ends the input like end of
// file, and failed() tells it apart.
class boundedreader {
   public:
    // The block lives on the heap: a process may run with a small stack.
    boundedreader(sysio& sys, int fd, uint64_t limit = std::numeric_limits<uint64_t>::max())
        : sys_(sys), fd_(fd), left_(limit), block_(static_cast<char*>(std::malloc(blocksize))) {
        if (!block_) outofmemory(nomemoryforline);
    }
    ~boundedreader() { std::free(block_); }
    boundedreader(const boundedreader&) = delete;
    boundedreader& operator=(const boundedreader&) = delete;

    bool eof() const { return eof_; }
    bool failed() const { return failed_; }
    // The owner of a regular file read with readrest; false when unknown.
    bool owner(uid_t& uid) const {
        uid = owner_;
        return ownerknown_;
    }
    int error() const { return error_; }  // the errno of the failed read

    // Like fgets: at most cap - 1 bytes, through the first newline,
    // NUL-terminated.
    void readline(char* dst, size_t cap) {
        size_t n = 0;
        while (n + 1 < cap) {
            if (pos_ == end_ && !fill()) break;
            const size_t take = linepart(cap - 1 - n);
            std::memcpy(dst + n, block_ + pos_, take);
            n += take;
            pos_ += take;
            if (dst[n - 1] == '\n') break;
        }
        dst[n] = '\0';
    }

    // The rest of the input appended to out, however long. Exhausted memory
    // is thrown.
    void readrest(std::string& out) {
        // Room for a regular file whole, so that growing the text does not
        // copy it into fresh pages again and again; a file that grows
        // meanwhile is still read to its end, and a size past any rule file
        // (a sparse file) is not believed.
        constexpr off_t believable = off_t{1} << 30;
        struct stat st {};
        if (pos_ == 0 && end_ == 0 && sys_.fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            owner_ = st.st_uid;
            ownerknown_ = true;
            if (st.st_size > 0 && st.st_size <= believable)
                out.reserve(out.size() +
                            std::min<uint64_t>(static_cast<uint64_t>(st.st_size), left_));
        }
        out.append(block_ + pos_, end_ - pos_);
        pos_ = end_;
        while (fill()) {
            out.append(block_, end_);
            pos_ = end_;
        }
    }

   private:
    // The bytes of the block up to and including the next newline, at most max.
    size_t linepart(size_t max) const {
        const size_t avail = std::min(max, end_ - pos_);
        const auto* newline = static_cast<const char*>(std::memchr(block_ + pos_, '\n', avail));
        return newline ? static_cast<size_t>(newline - (block_ + pos_)) + 1 : avail;
    }

    bool fill() {
        if (left_ == 0 || eof_) return seteof();
        const ssize_t got = sys_.read(fd_, block_, std::min<uint64_t>(blocksize, left_));
        if (got < 0) {
            failed_ = true;
            error_ = errno;
        }
        if (got <= 0) return seteof();
        pos_ = 0;
        end_ = static_cast<size_t>(got);
        left_ -= end_;
        return true;
    }
    bool seteof() {
        eof_ = true;
        return false;
    }

    sysio& sys_;
    int fd_;
    uid_t owner_ = 0;
    bool ownerknown_ = false;
    uint64_t left_;
    bool eof_ = false;
    bool failed_ = false;
    int error_ = 0;
    size_t pos_ = 0;
    size_t end_ = 0;
    static constexpr size_t blocksize = size_t{1} << 16;
    char* block_;
};

}  // namespace pst
