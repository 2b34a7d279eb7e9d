/* Preloaded into the plugin by the fault-injection tests: the Nth request of
 * at least FAILALLOC_MIN bytes (malloc, calloc or realloc) fails, N being
 * FAILALLOC_NTH; with FAILALLOC_FROM set instead, that request and every
 * later one fail. */
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static long seen;

static int failnow(size_t n) {
    const char* min = getenv("FAILALLOC_MIN");
    const char* nth = getenv("FAILALLOC_NTH");
    const char* from = getenv("FAILALLOC_FROM");
    if (!min || (!nth && !from) || n < (size_t)atol(min)) return 0;
    ++seen;
    if (nth ? seen != atol(nth) : seen < atol(from)) return 0;
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t n) {
    return failnow(n) ? NULL : __libc_malloc(n);
}
void* calloc(size_t k, size_t n) {
    return failnow(k * n) ? NULL : __libc_calloc(k, n);
}
void* realloc(void* p, size_t n) {
    return failnow(n) ? NULL : __libc_realloc(p, n);
}
