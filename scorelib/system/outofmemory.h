// Memory running out deep inside an evaluation.
#pragma once

namespace pst {

// Thrown where memory runs out and caught where the evaluation was entered,
// which hands it to the sink: unwinding releases everything taken on the way.
struct memoryexhausted {
    const char* text;
};

[[noreturn]] inline void outofmemory(const char* text) {
    throw memoryexhausted{text};
}

}  // namespace pst
