// Memory about to be written whole, touched in one system call rather than
// a page fault a page: on a small message the first touches of memory are
// much of what a scan costs.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace pst {

// The whole pages inside [p, p + n). A kernel without the call (before
// Linux 5.14) leaves them to fault as usual.
inline void prefault(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
    constexpr uintptr_t page = 4096;
    const auto at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t skip = (page - at % page) % page;  // to the first whole page
    if (n <= skip) return;
    const size_t whole = (n - skip) / page * page;
    if (whole > 0) ::madvise(static_cast<char*>(p) + skip, whole, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace pst
