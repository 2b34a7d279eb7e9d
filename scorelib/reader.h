// Line reading for the message file.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace pst {

// Reads a descriptor like fgets reads a stream, in large blocks, and never
// more than limit bytes in all: the buffers are sized from the file size taken
// once, so growth of the file during the call is not read. A read error ends
// the input like end of file.
class boundedreader {
   public:
    // The block lives on the heap: a process may run with a small stack.
    boundedreader(int fd, uint64_t limit)
        : fd_(fd), left_(limit), block_(static_cast<char*>(std::malloc(blocksize))) {
        if (!block_) outofmemory("pstlib:evalscore: Unable to allocate line.\n");
    }
    ~boundedreader() { std::free(block_); }
    boundedreader(const boundedreader&) = delete;
    boundedreader& operator=(const boundedreader&) = delete;

    bool eof() const { return eof_; }

    // At most cap - 1 bytes, through the first newline, NUL-terminated.
    void readline(char* dst, size_t cap) {
        size_t n = 0;
        while (n + 1 < cap) {
            if (pos_ == end_ && !fill()) break;
            const size_t avail = std::min(cap - 1 - n, end_ - pos_);
            const char* src = block_ + pos_;
            const auto* newline = static_cast<const char*>(std::memchr(src, '\n', avail));
            const size_t take = newline ? static_cast<size_t>(newline - src) + 1 : avail;
            std::memcpy(dst + n, src, take);
            n += take;
            pos_ += take;
            if (newline) break;
        }
        dst[n] = '\0';
    }

   private:
    bool fill() {
        if (left_ == 0) return seteof();
        ssize_t got;
        do {
            got = ::read(fd_, block_, std::min<uint64_t>(blocksize, left_));
        } while (got < 0 && errno == EINTR);
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

    int fd_;
    uint64_t left_;
    bool eof_ = false;
    size_t pos_ = 0;
    size_t end_ = 0;
    static constexpr size_t blocksize = size_t{1} << 16;
    char* block_;
};

}  // namespace pst
