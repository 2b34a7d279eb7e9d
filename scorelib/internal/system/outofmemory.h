// Memory running out deep inside an evaluation.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace pst {

// What is said when memory runs out. The plugin's texts name what it was
// allocating, and hosts' administrators search their logs for them.
inline constexpr char nomemoryforline[] = "pstlib:evalscore: Unable to allocate line.\n";
inline constexpr char nomemoryforbuf[] = "pstlib:evalscore: Unable to allocate buf.\n";
inline constexpr char nomemoryfornbuf[] = "pstlib:evalscore: Unable to allocate nbuf.\n";
// Compiling or searching a pattern.
inline constexpr char nomemoryforsearch[] = "malloc failed in pstlib:countmatches!\n";
// Folding a text's case.
inline constexpr char nomemoryforlcstrdup[] = "malloc failed in pstlib:lcstrdup!\n";
inline constexpr char nomemoryforucstrdup[] = "malloc failed in pstlib:ucstrdup!\n";
// blocklistctl's: the whole diagnostic, and a message's error in a report.
inline constexpr char toolnomemory[] = "blocklistctl: out of memory\n";
inline constexpr char nomemory[] = "out of memory";

// Thrown where memory runs out and caught where the evaluation was entered,
// which hands it to the sink: unwinding releases everything taken on the way.
struct memoryexhausted {
    const char* text;
};

// Throwing needs a little memory too. Where even that is gone (memory ran out
// before the runtime could set its reserve aside at start-up), a throw would
// end the process by std::terminate with status 134; the only way left to
// keep the promise of the diagnostic and status 1 is to give them here.
[[noreturn]] inline void outofmemory(const char* text) {
    void* room = std::malloc(256);
    if (!room) {
        std::fflush(stdout);
        std::fputs(text, stderr);
        std::exit(1);
    }
    std::free(room);
    throw memoryexhausted{text};
}

}  // namespace pst
