#include "corpus/mailsource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "input.h"
#include "system/sysio.h"

namespace pst {
namespace {

namespace fs = std::filesystem;

// The regular files of a directory, sorted, hidden ones left out (a
// Maildir's tmp/ is not read at all).
bool filesof(const fs::path& dir, std::vector<fs::path>& out) {
    std::error_code ec;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code kind;
        if (it->is_regular_file(kind)) found.push_back(it->path());
    }
    if (ec) return cannotread(dir.c_str(), ec.message().c_str());
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

bool ismaildir(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(dir / "cur", ec) || fs::is_directory(dir / "new", ec);
}

// An mbox starts with a "From " line; a message stored alone does not, or
// holds no other.
bool startsfrom(FILE* f) {
    char head[5] = {};
    const bool mbox = std::fread(head, 1, 5, f) == 5 && std::memcmp(head, "From ", 5) == 0;
    std::rewind(f);
    return mbox;
}

// An envelope line: "From SENDER DATE", the date with its time of day,
// such as "From x@example.org Tue Dec  8 10:00:00 2026". A line of text
// that starts with "From " unquoted, as a message stored alone may have
// after its header, names no time.
bool isenvelope(std::string_view line) {
    if (!line.starts_with("From ")) return false;
    const size_t sender = line.find_first_not_of(' ', 5);
    const size_t date = sender == std::string_view::npos ? sender : line.find(' ', sender);
    if (date == std::string_view::npos) return false;
    auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
    for (size_t i = line.find(':', date); i != std::string_view::npos; i = line.find(':', i + 1))
        if (digit(i - 1) && digit(i + 1) && digit(i + 2)) return true;
    return false;
}

bool isemptyline(std::string_view line) {
    return line == "\n" || line == "\r\n";
}

// ">From ", ">>From ", ...: one ">" less.
bool quotedfrom(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && line[i] == '>') ++i;
    return i > 0 && line.substr(i).starts_with("From ");
}

// The messages of an mbox, found line by line: split at the "From " lines
// that start the file or follow an empty line, without those lines. Only the
// current line is held. A file that starts with a "From " line but holds one
// message is no mbox: a message stored alone keeps its envelope line, and
// the plugin scores it with that line and its ">From" lines as they are.
enum class mboxindex { notmbox, indexed, failed };
mboxindex indexmbox(const std::string& path, int set, std::vector<savedmessage>& out) {
    // A file that cannot be read is taken as a message: scoring it says why.
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) return mboxindex::notmbox;
    const fileholder hold(f);
    if (!startsfrom(f)) return mboxindex::notmbox;
    const size_t before = out.size();
    char* buf = nullptr;
    size_t cap = 0;
    uint64_t at = 0;
    bool afterempty = true, inmessage = false, endsempty = false;
    savedmessage current;
    auto close = [&](uint64_t end, bool beforeseparator) {
        current.length = end - current.offset;
        // The empty line before a separator belongs to the format.
        if (beforeseparator && endsempty) current.length -= 1;
        out.push_back(current);
    };
    int n = 0;
    for (ssize_t got; (got = ::getline(&buf, &cap, f)) > 0; at += static_cast<uint64_t>(got)) {
        const std::string_view line(buf, static_cast<size_t>(got));
        if (afterempty && isenvelope(line)) {
            if (inmessage) close(at, true);
            current = savedmessage{path + "#" + std::to_string(++n), path, true,
                                   at + static_cast<uint64_t>(got),  0,    set};
            inmessage = true;
            afterempty = endsempty = false;
            continue;
        }
        afterempty = isemptyline(line);
        // Only "\n\n" gives up its last newline, as a separator needs it.
        endsempty = line == "\n" && current.offset < at;
    }
    const bool failed = std::ferror(f);
    std::free(buf);
    if (failed) {
        cannotread(path.c_str(), std::strerror(errno));
        return mboxindex::failed;
    }
    if (inmessage) close(at, false);
    if (out.size() - before > 1) return mboxindex::indexed;
    out.resize(before);
    return mboxindex::notmbox;
}

}  // namespace

std::string readmboxmessage(const savedmessage& m, std::string& error) {
    std::string raw(m.length, '\0');
    sysio sys;
    const fdholder fd(sys.open(m.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    size_t have = 0;
    while (fd && have < raw.size()) {
        const ssize_t got = sys.pread(fd.get(), raw.data() + have, raw.size() - have,
                                      static_cast<off_t>(m.offset + have));
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    if (!fd || have < raw.size()) {
        error = fd ? "the mbox changed while it was scored" : std::strerror(errno);
        return {};
    }
    std::string message;
    message.reserve(raw.size());
    std::string_view rest(raw);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl == std::string_view::npos ? nl : nl + 1);
        rest.remove_prefix(line.size());
        message += quotedfrom(line) ? line.substr(1) : line;
    }
    return message;
}

bool addmessages(const std::string& source, int set, std::vector<savedmessage>& out) {
    std::error_code ec;
    const fs::file_status st = fs::status(source, ec);
    if (ec) return cannotread(source.c_str(), ec.message().c_str());
    std::vector<fs::path> files;
    if (fs::is_directory(st)) {
        if (ismaildir(source)) {
            for (const char* sub : {"cur", "new"})
                if (fs::is_directory(fs::path(source) / sub, ec) &&
                    !filesof(fs::path(source) / sub, files))
                    return false;
        } else if (!filesof(source, files)) {
            return false;
        }
    } else if (fs::is_regular_file(st)) {
        const size_t before = out.size();
        switch (indexmbox(source, set, out)) {
            case mboxindex::indexed:
                return true;
            case mboxindex::failed:
                // Nothing of an mbox that failed partway is scored.
                out.resize(before);
                return false;
            case mboxindex::notmbox:
                files.push_back(source);
                break;
        }
    } else {
        return cannotread(source.c_str(), "not a file, a directory or a Maildir");
    }
    for (const fs::path& f : files) out.push_back({f.string(), f.string(), false, 0, 0, set});
    return true;
}

}  // namespace pst
