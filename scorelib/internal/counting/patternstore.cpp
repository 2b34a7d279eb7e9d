#include "counting/patternstore.h"

#include <new>

#include "system/outofmemory.h"

namespace pst {

struct patternstore::entry {
    // Set, with release, once the member beside it holds its final value.
    std::atomic<bool> compiledready[3] = {false, false, false};
    regexholder code[3];
    std::atomic<bool> shaped{false};
    std::unique_ptr<patternshape> shape;
};

patternstore::patternstore(size_t slots) : entries_(new entry[slots]) {}

patternstore::~patternstore() = default;

const regexcode* patternstore::compiled(size_t slot, const char* pattern, watch how) {
    entry& e = entries_[slot];
    const auto i = static_cast<size_t>(how);
    if (e.compiledready[i].load(std::memory_order_acquire)) return e.code[i].get();
    const std::lock_guard<std::mutex> hold(filling_);
    if (!e.compiledready[i].load(std::memory_order_relaxed)) {
        try {
            e.code[i] = compileregex(pattern, how);
        } catch (const std::bad_alloc&) {
            outofmemory(nomemoryforsearch);
        }
        e.compiledready[i].store(true, std::memory_order_release);
    }
    return e.code[i].get();
}

const patternshape& patternstore::shapeof(size_t slot, std::string_view pattern) {
    entry& e = entries_[slot];
    if (e.shaped.load(std::memory_order_acquire)) return *e.shape;
    const std::lock_guard<std::mutex> hold(filling_);
    if (!e.shaped.load(std::memory_order_relaxed)) {
        e.shape = std::make_unique<patternshape>(analyse(pattern));
        e.shaped.store(true, std::memory_order_release);
    }
    return *e.shape;
}

}  // namespace pst
