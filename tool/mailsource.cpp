#include "mailsource.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace pst {
namespace {

namespace fs = std::filesystem;

bool cannotread(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "blocklistctl: cannot read %s: %s\n", what.c_str(), why.c_str());
    return false;
}

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
    if (ec) return cannotread(dir.string(), ec.message());
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

bool ismaildir(const fs::path& dir) {
    std::error_code ec;
    return fs::is_directory(dir / "cur", ec) || fs::is_directory(dir / "new", ec);
}

// An mbox starts with a "From " line; a single message does not.
bool ismbox(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    char head[5] = {};
    if (!in.read(head, 5) || std::memcmp(head, "From ", 5) != 0) return false;
    in.seekg(0);
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

// ">From ", ">>From ", ...: one ">" less.
bool quotedfrom(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && line[i] == '>') ++i;
    return i > 0 && line.compare(i, 5, "From ") == 0;
}

}  // namespace

std::vector<std::string> splitmbox(const std::string& text) {
    std::vector<std::string> messages;
    std::string current;
    bool inmessage = false, afterempty = true;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        const size_t end = nl == std::string::npos ? text.size() : nl + 1;
        std::string line = text.substr(at, end - at);
        at = end;
        if (afterempty && line.compare(0, 5, "From ") == 0) {
            if (inmessage) {
                // The empty line before a separator belongs to the format.
                if (current.size() >= 2 && current.compare(current.size() - 2, 2, "\n\n") == 0)
                    current.pop_back();
                messages.push_back(std::move(current));
            }
            current.clear();
            inmessage = true;
            afterempty = false;
            continue;
        }
        afterempty = line == "\n" || line == "\r\n";
        if (!inmessage) continue;
        if (quotedfrom(line)) line.erase(0, 1);
        current += line;
    }
    if (inmessage) messages.push_back(std::move(current));
    return messages;
}

bool addmessages(const std::string& source, int set, std::vector<savedmessage>& out) {
    std::error_code ec;
    const fs::file_status st = fs::status(source, ec);
    if (ec) return cannotread(source, ec.message());
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
        std::string text;
        if (ismbox(source, text)) {
            int n = 0;
            for (std::string& m : splitmbox(text))
                out.push_back({source + "#" + std::to_string(++n), "", std::move(m), set});
            return true;
        }
        files.push_back(source);
    } else {
        return cannotread(source, "not a file, a directory or a Maildir");
    }
    for (const fs::path& f : files) out.push_back({f.string(), f.string(), "", set});
    return true;
}

}  // namespace pst
