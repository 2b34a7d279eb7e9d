#include "counting/matchstack.h"

#include <pcre.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>

#include "counting/regexbackend.h"

// The C library's own record of where the main thread's stack begins.
extern "C" void* __libc_stack_end;  // NOLINT(bugprone-reserved-identifier)

namespace pst {
namespace {

constexpr size_t mib = size_t{1} << 20;

struct job {
    int (*search)(void*, unsigned long);
    void* arg;
    unsigned long limit;
    int result;
};

void* runjob(void* arg) {
    auto* j = static_cast<job*>(arg);
    j->result = j->search(j->arg, j->limit);
    return nullptr;
}

}  // namespace

unsigned long recursionlimitfor(size_t stacksize) {
    // The library reports the size of its matcher's frame when asked with
    // these arguments; a quarter more is kept as margin, and some of the
    // stack for everything else.
    long frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    if (frame <= 0) frame = 1024;
    const size_t usable = stacksize > 64 * mib ? stacksize - 32 * mib : stacksize / 2;
    return static_cast<unsigned long>(usable / (static_cast<size_t>(frame) * 5 / 4));
}

stackextent stackextent::ofthisthread() {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // The main thread's stack grows up to its limit from where the C library
    // started it; asking the thread library instead reads /proc/self/maps,
    // which costs more than the whole evaluation of a typical mail.
    rlimit rl{};
    const auto top = reinterpret_cast<uintptr_t>(__libc_stack_end);
    if (::getpid() == ::gettid() && top > here && getrlimit(RLIMIT_STACK, &rl) == 0) {
        const size_t limit = rl.rlim_cur == RLIM_INFINITY ? 8 * mib : rl.rlim_cur;
        return {top > limit ? top - limit : 0, true};
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    const auto bottom = reinterpret_cast<uintptr_t>(low);
    if (!known || here <= bottom || here - bottom > size) return {};
    return {bottom, true};
}

namespace {

// The matcher's recursion limit for what is left of the stack below here.
unsigned long recursionlimithere(const stackextent& stack) {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (!stack.known) return recursionlimitfor(mib);
    return recursionlimitfor(here > stack.low ? here - stack.low : 0);
}

}  // namespace

int rundeep(size_t memory, const stackextent& stack, int (*search)(void*, unsigned long),
            void* arg) {
    const int rc = search(arg, recursionlimithere(stack));
    if (rc != regexrecursionlimit) return rc;
    // Too deep for this stack: the same search goes on where it stopped. The
    // new stack is only address space until a deep search touches it; the
    // thread is the only other one, and the caller waits for it. Nothing here
    // allocates beyond what the thread library itself needs, and a thread that
    // cannot be had leaves the result as it is.
    const size_t size = memory < 4 * mib ? 4 * mib : memory;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return rc;
    job j{search, arg, recursionlimitfor(size), rc};
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attr, size) == 0 &&
                         pthread_create(&thread, &attr, runjob, &j) == 0;
    pthread_attr_destroy(&attr);
    if (started) pthread_join(thread, nullptr);
    return j.result;
}

}  // namespace pst
