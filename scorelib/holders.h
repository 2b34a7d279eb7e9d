// Small owners for what the scoring library takes from the system, so that
// every path releases it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace pst {

struct freer {
    void operator()(void* p) const noexcept { std::free(p); }
};
// A malloc'd buffer: allocation failures must be seen, not thrown.
using cbuf = std::unique_ptr<char, freer>;

inline cbuf allocbuf(size_t n) {
    return cbuf(static_cast<char*>(std::malloc(n)));
}

struct filecloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using fileholder = std::unique_ptr<FILE, filecloser>;

class fdholder {
   public:
    fdholder() = default;
    explicit fdholder(int fd) : fd_(fd) {}
    fdholder(fdholder&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    fdholder& operator=(fdholder&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    fdholder(const fdholder&) = delete;
    fdholder& operator=(const fdholder&) = delete;
    ~fdholder() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int release() { return std::exchange(fd_, -1); }

   private:
    int fd_ = -1;
};

}  // namespace pst
