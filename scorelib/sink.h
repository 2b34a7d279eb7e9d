// Where an evaluation's lines go. The library writes nothing itself: every
// line it has for the host, every diagnostic and the news that memory ran out
// go to the sink its caller gives, and the caller decides what to print.
#pragma once

#include <cstddef>
#include <string_view>

namespace pst {

// A rule that hit, after its upper-case pass (capitals is 0 for exact rules):
// its line in the rule file and the score before and after it.
struct rulehit {
    int line;
    const char* pattern;
    int weight;
    bool exact;
    int found, capitals;
    int before, after;
};

class evalsink {
   public:
    virtual ~evalsink() = default;
    // The message as read.
    struct read {
        std::string_view subject;  // the cleaned Subject line, empty without one
        std::string_view body;     // as the rules see it
        size_t scanlen;
        // An empty line ended the header block; without one, only the
        // Subject line is scored.
        bool headerended;
        // The header block names a transfer encoding of base64 or
        // quoted-printable: the rules see the encoded text.
        bool encoded;
    };
    virtual void message(const read& m) = 0;
    virtual void hit(const rulehit& h) = 0;
    // Diagnostics. They take the pieces rather than a formatted line: a
    // diagnostic must get out when memory is short. line: the rule's line in
    // the rule file, 0 for a pattern counted on its own.
    virtual void compilefailed(const char* pattern, int line) = 0;
    // rc: the library's error code for the search of pattern.
    virtual void searchfailed(int rc, const char* pattern, int line) = 0;
    enum class file { message, rules };
    // The message file could not be opened after all, or reading one of the
    // files failed partway.
    virtual void cannotopen(file which) = 0;
    virtual void readfailed(file which) = 0;
    // Memory ran out; text is the diagnostic, newline included. The
    // evaluation is abandoned: a score without the memory would be wrong.
    virtual void exhausted(const char* text) = 0;
};

// The plugin's: "#Found" lines on standard output in debug mode, diagnostics
// on standard output in debug mode (the host reads them as comments) and on
// standard error otherwise, and exhausted memory as its text on standard
// error and status 1.
class streamsink final : public evalsink {
   public:
    explicit streamsink(int debug) : debug_(debug) {}
    void message(const read&) override {}
    void hit(const rulehit& h) override;
    void compilefailed(const char* pattern, int line) override;
    void searchfailed(int rc, const char* pattern, int line) override;
    void cannotopen(file which) override;
    void readfailed(file which) override;
    [[noreturn]] void exhausted(const char* text) override;

   private:
    int debug_;
};

}  // namespace pst
