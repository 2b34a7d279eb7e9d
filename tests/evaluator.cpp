// Evaluates one rule file and message with the library it is linked with, and
// prints the score after whatever the evaluation wrote: the cross-library
// differential test runs one of these per library.
#include <cstdio>
#include <cstdlib>

#include "evaluate.h"
#include "rules/rule.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const int score = pst::evaluate(argv[1], argv[2], std::atoi(argv[3]), nullptr, {});
    std::printf("%d\n", score);
    return 0;
}
