#include "explain.h"

#include <sysexits.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "internal.h"

namespace pst {
namespace {

class explainer final : public evalobserver {
   public:
    explicit explainer(FILE* out) : out_(out) {}

    void message(std::string_view subject, size_t bodylen, size_t scanlen) override {
        while (!subject.empty() && (subject.back() == '\n' || subject.back() == '\r'))
            subject.remove_suffix(1);
        if (subject.empty())
            std::fputs("subject line: (none)\n", out_);
        else
            std::fprintf(out_, "subject line: \"%.*s\" (counted three times)\n",
                         static_cast<int>(subject.size()), subject.data());
        std::fprintf(out_, "body: %zu bytes; scan text: %zu bytes\n", bodylen, scanlen);
    }

    void hit(int line, const char* pattern, int weight, bool exact, int found, int capitals,
             int before, int after) override {
        const std::string caps = exact ? "exact-case" : std::to_string(capitals) + " in capitals";
        std::fprintf(out_, "line %d: %s  weight %d  found %d  %s  %+d  score %d\n", line, pattern,
                     weight, found, caps.c_str(),
                     static_cast<int>(static_cast<unsigned>(after) - static_cast<unsigned>(before)),
                     after);
    }

   private:
    FILE* out_;
};

bool readable(const char* path) {
    FILE* f = std::fopen(path, "re");
    if (!f) {
        std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::fclose(f);
    return true;
}

}  // namespace

int explainmessage(const char* message, const char* rules, FILE* out) {
    if (!readable(message) || !readable(rules)) return EX_NOINPUT;
    explainer watch(out);
    evaloptions options;
    options.observer = &watch;
    // As the plugin scores without the debug marker; statistics are never
    // written from here.
    const int score = evaluate(rules, message, 0, nullptr, options);
    std::fprintf(out, "score: %d\n", score);
    return 0;
}

}  // namespace pst
