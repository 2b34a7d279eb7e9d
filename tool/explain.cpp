#include "explain.h"

#include <sys/stat.h>
#include <sysexits.h>

#include <new>
#include <string>

#include "check.h"
#include "evaluate.h"
#include "holders.h"
#include "input.h"
#include "json.h"
#include "messagenotes.h"
#include "rules/rule.h"
#include "system/outofmemory.h"

namespace pst {
namespace {

// What the evaluation showed, in the order it showed it. Its diagnostics
// are the plugin's, on standard error as without the debug marker.
class explainer final : public evalsink {
   public:
    void message(const read& m) override {
        std::string_view subject = m.subject;
        while (!subject.empty() && (subject.back() == '\n' || subject.back() == '\r'))
            subject.remove_suffix(1);
        subject_ = subject;
        bodylen_ = m.body.size();
        scanlen_ = m.scanlen;
        headerended_ = m.headerended;
        encoded_ = isencoded(m);
    }

    void hit(const rulehit& h) override try {
        hits_.push_back(
            {h.line, h.pattern, h.weight, h.exact, h.found, h.capitals,
             static_cast<int>(static_cast<unsigned>(h.after) - static_cast<unsigned>(h.before)),
             h.after});
    } catch (const std::bad_alloc&) {
        outofmemory(toolnomemory);
    }
    void compilefailed(const char* pattern, int line) override {
        streams_.compilefailed(pattern, line);
    }
    void searchfailed(int rc, const char* pattern, int line) override {
        streams_.searchfailed(rc, pattern, line);
    }
    void cannotopen(file which) override { streams_.cannotopen(which); }
    void readfailed(file which) override { streams_.readfailed(which); }
    void exhausted(const char* text) override { streams_.exhausted(text); }

    void print(int score, FILE* out) const {
        if (subject_.empty())
            std::fputs("subject line: (none)\n", out);
        else
            std::fprintf(out, "subject line: \"%s\" (counted three times)\n", subject_.c_str());
        std::fprintf(out, "body: %zu bytes; scan text: %zu bytes\n", bodylen_, scanlen_);
        if (!headerended_) std::fprintf(out, "note: %s\n", noheaderend);
        if (encoded_) std::fprintf(out, "note: %s\n", encodedbody);
        for (const auto& h : hits_) {
            const std::string caps =
                h.exact ? "exact-case" : std::to_string(h.capitals) + " in capitals";
            std::fprintf(out, "line %d: %s  weight %d  found %d  %s  %+d  score %d\n", h.line,
                         h.pattern.c_str(), h.weight, h.found, caps.c_str(), h.contribution,
                         h.score);
        }
        std::fprintf(out, "score: %d\n", score);
    }

    void printjson(int score, FILE* out) const {
        nlohmann::json hits = nlohmann::json::array();
        for (const auto& h : hits_) {
            nlohmann::json j = {{"line", h.line},     {"pattern", h.pattern},
                                {"weight", h.weight}, {"exact", h.exact},
                                {"found", h.found},   {"contribution", h.contribution},
                                {"score", h.score}};
            if (!h.exact) j["capitals"] = h.capitals;
            hits.push_back(std::move(j));
        }
        pst::printjson({{"subject", subject_.empty() ? nlohmann::json() : nlohmann::json(subject_)},
                        {"body_bytes", bodylen_},
                        {"scan_bytes", scanlen_},
                        {"header_ended", headerended_},
                        {"encoded", encoded_},
                        {"hits", std::move(hits)},
                        {"score", score}},
                       out);
    }

   private:
    struct hitline {
        int line;
        std::string pattern;
        int weight;
        bool exact;
        int found, capitals, contribution, score;
    };
    streamsink streams_{0};
    std::string subject_;
    size_t bodylen_ = 0, scanlen_ = 0;
    bool headerended_ = true, encoded_ = false;
    std::vector<hitline> hits_;
};

// The plugin says nothing about a file it cannot open but scores 0; here the
// administrator is told. Opened as the plugin opens it: a FIFO never waits.
// A rule file must be a regular file, as the plugin refuses any other.
bool readable(const inputfile& f, bool regular) {
    if (!f) return false;
    if (regular) return static_cast<bool>(openregular(f.path(), f.name()));
    const fdholder fd(openforreading(f.path()));
    return fd || cannotread(f.name(), std::strerror(errno));
}

}  // namespace

int explainmessage(const char* message, const char* rules, const char* rule, bool json, FILE* out) {
    const inputfile msg = inputfile::named(message);
    if (!readable(msg, false)) return EX_NOINPUT;
    // The one rule is checked as check checks a line: a rule the plugin
    // would ignore, or one that can never match, is named before its score.
    if (rule) checkrule(rule, "--rule", stderr);
    const inputfile rulefile =
        rule ? inputfile::text(std::string(rule) + "\n", "the rule") : inputfile::named(rules);
    if (!readable(rulefile, true)) return EX_NOINPUT;
    explainer watch;
    evaloptions options;
    options.sink = &watch;
    // As the plugin scores without the debug marker; statistics are never
    // written from here.
    const int score = evaluate(rulefile.path(), msg.path(), 0, nullptr, options);
    if (json)
        watch.printjson(score, out);
    else
        watch.print(score, out);
    return 0;
}

}  // namespace pst
