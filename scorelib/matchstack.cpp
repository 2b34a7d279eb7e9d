#include "matchstack.h"

#include <pcre.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cstddef>

namespace pst {
namespace {

constexpr size_t mib = size_t{1} << 20;

// The stack held back for everything but the matcher's own frames.
constexpr size_t reserve = 32 * mib;

unsigned long recursionlimit(size_t stacksize) {
    // The library reports the size of its matcher's frame when asked with
    // these arguments; a quarter more is kept as margin.
    long frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    if (frame <= 0) frame = 1024;
    const size_t usable = stacksize > 2 * reserve ? stacksize - reserve : stacksize / 2;
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

int withmatchstack(const std::function<int(unsigned long)>& fn) {
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
    // runs here, limited to what the process's own stack holds.
    rlimit rl{};
    size_t size = 8 * mib;
    if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < size)
        size = rl.rlim_cur;
    return fn(recursionlimit(size));
}

}  // namespace pst
