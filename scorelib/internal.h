// Pieces of the scoring library shared between its sources and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace pst {

struct searchlimits;
class sysio;

// Writes text to standard error and ends the process with status 1.
[[noreturn]] void outofmemory(const char* text);

// The diagnostic stream: standard output in debug mode, where the host reads
// it as comments, standard error otherwise.
inline FILE* diagnostics(int debug) {
    return debug ? stdout : stderr;
}

// lcstrdup for a text whose length is known.
char* lcstrndup(const char* s, size_t len);

// A header line is the Subject line when it starts with "subject" in any case.
bool issubjectline(std::string_view line);

// Removes bracketed tags in place and returns the new length; the line is
// NUL-terminated again.
size_t removetags(char* line, size_t len);

struct rule {
    bool exact = false;
    int weight = 0;
    std::string_view pattern;  // NUL-terminated in the caller's buffer
};

// Parses one rule line of the given string length. Cuts the line at its first
// newline by writing a NUL there. Returns false for lines the plugin ignores.
bool parserule(char* line, size_t len, rule& out);

// Decimal weight as atoi reads it, clamped to the int range.
int parseweight(std::string_view text);

// score + count * weight * factor in 32-bit two's complement.
int addweighted(int score, int count, int weight, int factor);

// Where an evaluation spends its time, in seconds.
struct evalprofile {
    double read = 0;     // reading the message and building the scan text
    double fold = 0;     // the folded text
    double compile = 0;  // compiling patterns
    double search = 0;   // counting
    double stats = 0;    // the statistics rewrite
    int budgetcuts = 0;  // searches ended by the work budget
};

// Watches one evaluation: the plugin's debug lines and blocklistctl explain
// both observe the same scoring.
class evalobserver {
   public:
    virtual ~evalobserver() = default;
    // The message as read: the cleaned Subject line (empty without one) and
    // the sizes of the body and the scan text.
    virtual void message(std::string_view subject, size_t bodylen, size_t scanlen) = 0;
    // A rule that hit, after its upper-case pass (capitals is 0 for exact
    // rules): its line in the rule file and the score before and after it.
    virtual void hit(int line, const char* pattern, int weight, bool exact, int found, int capitals,
                     int before, int after) = 0;
};

// For the tests, the benchmark and blocklistctl: the plugin takes the defaults.
struct evaloptions {
    // One library search over the whole text for every rule, with none of
    // the shortcuts that leave the output unchanged.
    bool straightforward = false;
    evalprofile* profile = nullptr;
    evalobserver* observer = nullptr;
    // The work budget of the searches; null for the defaults.
    const searchlimits* limits = nullptr;
    // The system calls of reading and recording; null for the real ones.
    sysio* system = nullptr;
};

int evaluate(const char* rulepath, const char* msgpath, int debug, const char* statspath,
             const evaloptions& options);

}  // namespace pst
