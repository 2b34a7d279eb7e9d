// The lines of a statistics file, read in bounded memory: the file may be
// huge, sparse or planted, and neither the plugin's rewrite nor the report
// may hold more of it than one line of a sane length.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace pst {

// Cuts a stream of bytes into lines. A line of up to maxline bytes comes
// whole; a longer one comes as its first maxline bytes (head), the bytes
// after them in pieces (rest), and then its end (longend): no line is ever
// held longer than maxline. A last line without a newline comes whole too.
class linecutter {
   public:
    static constexpr size_t maxline = size_t{1} << 20;
    enum class piece { whole, head, rest, longend };

    template <class F>
    void feed(std::string_view chunk, F&& f) {
        while (!chunk.empty()) {
            const size_t nl = chunk.find('\n');
            const std::string_view part = chunk.substr(0, nl);
            if (inlong_) {
                if (!part.empty()) f(piece::rest, part);
                if (nl == std::string_view::npos) return;
                f(piece::longend, std::string_view());
                inlong_ = false;
            } else {
                const size_t room = maxline - line_.size();
                if (part.size() > room) {
                    line_.append(part.substr(0, room));
                    f(piece::head, std::string_view(line_));
                    line_.clear();
                    inlong_ = true;
                    chunk.remove_prefix(room);
                    continue;
                }
                line_.append(part);
                if (nl == std::string_view::npos) return;
                f(piece::whole, std::string_view(line_));
                line_.clear();
            }
            chunk.remove_prefix(nl + 1);
        }
    }

    template <class F>
    void finish(F&& f) {
        if (inlong_)
            f(piece::longend, std::string_view());
        else if (!line_.empty())
            f(piece::whole, std::string_view(line_));
        line_.clear();
        inlong_ = false;
    }

   private:
    std::string line_;
    bool inlong_ = false;
};

// A record: the time before the line's first space and the pattern after it.
// A line without a space is no record.
struct statsrecord {
    std::string_view time;
    std::string_view pattern;
};
std::optional<statsrecord> parsestatsline(std::string_view line);

// The time field as a number, or the earliest time when it is not one.
time_t recordtime(std::string_view field);

}  // namespace pst
