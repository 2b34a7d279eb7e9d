#include "matchstack.h"

#include <pcre.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

extern "C" void* __libc_stack_end;

namespace pst {
namespace {

constexpr size_t mib = size_t{1} << 20;

unsigned long recursionlimit(size_t stacksize) {
    // The library reports the size of its matcher's frame when asked with
    // these arguments; a quarter more is kept as margin, and some of the
    // stack for everything else.
    long frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    if (frame <= 0) frame = 1024;
    const size_t usable = stacksize > 64 * mib ? stacksize - 32 * mib : stacksize / 2;
    return static_cast<unsigned long>(usable / (static_cast<size_t>(frame) * 5 / 4));
}

struct job {
    const std::function<int(unsigned long)>* fn;
    unsigned long limit;
    int result;
};

void* runjob(void* arg) {
    auto* j = static_cast<job*>(arg);
    j->result = (*j->fn)(j->limit);
    return nullptr;
}

}  // namespace

unsigned long recursionlimithere() {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // The main thread's stack grows up to its limit from where the C library
    // started it; asking the thread library instead reads /proc/self/maps,
    // which costs more than the whole evaluation of a typical mail.
    rlimit rl{};
    const auto top = reinterpret_cast<uintptr_t>(__libc_stack_end);
    if (::getpid() == ::gettid() && top > here && getrlimit(RLIMIT_STACK, &rl) == 0) {
        const size_t limit = rl.rlim_cur == RLIM_INFINITY ? 8 * mib : rl.rlim_cur;
        const size_t used = top - here;
        return recursionlimit(limit > used ? limit - used : 0);
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return recursionlimit(mib);
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    const auto bottom = reinterpret_cast<uintptr_t>(low);
    if (!known || here <= bottom || here - bottom > size) return recursionlimit(mib);
    return recursionlimit(here - bottom);
}

int onlargestack(const std::function<int(unsigned long)>& fn) {
    // The stack is only address space until a deep search touches it. The
    // thread is the only other one, and the caller waits for it.
    for (const size_t size : {1024 * mib, 256 * mib}) {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) break;
        job j{&fn, recursionlimit(size), 0};
        pthread_t thread;
        const bool started = pthread_attr_setstacksize(&attr, size) == 0 &&
                             pthread_create(&thread, &attr, runjob, &j) == 0;
        pthread_attr_destroy(&attr);
        if (started) {
            pthread_join(thread, nullptr);
            return j.result;
        }
    }
    // Without address space for it (a strict overcommit policy), the search
    // goes on here, limited to what this stack holds.
    return fn(recursionlimithere());
}

}  // namespace pst
