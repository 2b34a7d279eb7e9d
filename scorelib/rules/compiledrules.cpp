#include "rules/compiledrules.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "counting/regexbackend.h"
#include "fastpath/shape.h"
#include "fastpath/skippolicy.h"
#include "rules/rulefile.h"
#include "system/sysio.h"

namespace pst {
namespace {

// The layout: "PSTRULES", the format, a byte-order mark, the library's
// version, the rule file's size and hash, its line count, the literals, one
// record per line; then a hash of all of that. Any change of the layout or
// of what a record means takes a new format number.
constexpr char magic[8] = {'P', 'S', 'T', 'R', 'U', 'L', 'E', 'S'};
constexpr uint32_t format = 1;
constexpr uint32_t byteorder = 0x01020304;
// A rule file of a million lines makes a form of a few tens of megabytes.
constexpr uint64_t largestform = uint64_t{1} << 30;

enum : uint8_t { isrule = 1, compiles = 2, skippable = 4 };

// FNV-1a: the form guards against a stale or damaged file, not against
// whoever may write beside the rule file, who may write the rule file too.
uint64_t hashof(std::string_view bytes, uint64_t h = 14695981039346656037ULL) {
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

void rulefilehash(const rulefile& f, uint64_t& size, uint64_t& hash) {
    size = 0;
    hash = hashof("");
    for (const std::string& line : f.lines) {
        size += line.size();
        hash = hashof(line, hash);
    }
}

class writer {
   public:
    void bytes(std::string_view b) { out += b; }
    template <class T>
    void number(T v) {
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    void text(std::string_view t) {
        number(static_cast<uint32_t>(t.size()));
        bytes(t);
    }
    std::string out;
};

// Every read is checked against the end: a form cut short or damaged reads
// as refused, never past its end.
class reader {
   public:
    explicit reader(std::string_view in) : in_(in) {}
    bool bytes(size_t n, std::string_view& out) {
        if (n > in_.size() - at_) return false;
        out = in_.substr(at_, n);
        at_ += n;
        return true;
    }
    template <class T>
    bool number(T& v) {
        std::string_view b;
        if (!bytes(sizeof v, b)) return false;
        std::memcpy(&v, b.data(), sizeof v);
        return true;
    }
    bool text(std::string_view& out) {
        uint32_t n = 0;
        return number(n) && bytes(n, out);
    }
    bool done() const { return at_ == in_.size(); }

   private:
    std::string_view in_;
    size_t at_ = 0;
};

// The whole file, if it is a regular one of a sane size.
bool readform(sysio& sys, const char* path, std::string& bytes, std::string& why) {
    const int fd = sys.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return false;
    }
    struct closer {
        sysio& sys;
        int fd;
        ~closer() { sys.close(fd); }
    } hold{sys, fd};
    struct stat st {};
    if (sys.fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > largestform) {
        why = "it is too large to be one";
        return false;
    }
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = sys.read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    // Cut short while it was read: what is there is checked as it is.
    bytes.resize(got);
    return true;
}

}  // namespace

std::string compiledpath(std::string_view rulepath) {
    return std::string(rulepath) + ".compiled";
}

std::string compiledrules::make(const rulefile& f) {
    rulefile all;
    all.lines = f.lines;
    parserules(1, all);  // every rule, weight 0 too
    std::vector<ruleplan> plans(all.lines.size());
    std::vector<std::string> literals;
    std::vector<byteset> sets;
    std::vector<uint32_t> setids;
    for (const auto& [line, r] : all.rules) {
        ruleplan& p = plans[static_cast<size_t>(line - 1)];
        p.rule = true;
        // As the evaluation sees the pattern: up to its first NUL.
        const std::string pattern(r.pattern);
        p.compiles = compileregex(pattern.c_str(), false) != nullptr;
        if (!p.compiles) continue;
        const patternshape shape = analyse(std::string_view(pattern.c_str()));
        p.skippable = skippablerun(shape, p.run);
        if (!p.skippable) continue;
        p.first = static_cast<uint32_t>(literals.size());
        p.count = static_cast<uint32_t>(shape.required.size());
        literals.insert(literals.end(), shape.required.begin(), shape.required.end());
        p.firstset = static_cast<uint32_t>(setids.size());
        for (const byteset& set : pst::runsets(shape)) {
            auto at = std::find(sets.begin(), sets.end(), set);
            if (at == sets.end()) at = sets.insert(sets.end(), set);
            setids.push_back(static_cast<uint32_t>(at - sets.begin()));
        }
        p.sets = static_cast<uint32_t>(setids.size()) - p.firstset;
    }
    uint64_t size = 0, hash = 0;
    rulefilehash(f, size, hash);
    writer w;
    w.bytes(std::string_view(magic, sizeof magic));
    w.number(format);
    w.number(byteorder);
    w.text(regexversion());
    w.number(size);
    w.number(hash);
    w.number(static_cast<uint32_t>(plans.size()));
    w.number(static_cast<uint32_t>(literals.size()));
    for (const std::string& l : literals) w.text(l);
    w.number(static_cast<uint32_t>(sets.size()));
    for (const byteset& set : sets)
        for (size_t word = 0; word < 4; ++word) {
            uint64_t bits = 0;
            for (size_t b = 0; b < 64; ++b)
                if (set.test(word * 64 + b)) bits |= uint64_t{1} << b;
            w.number(bits);
        }
    w.number(static_cast<uint32_t>(setids.size()));
    for (const uint32_t id : setids) w.number(id);
    for (const ruleplan& p : plans) {
        w.number(static_cast<uint8_t>((p.rule ? isrule : 0) | (p.compiles ? compiles : 0) |
                                      (p.skippable ? skippable : 0)));
        if (!p.rule) continue;
        w.number(p.run);
        w.number(p.first);
        w.number(p.count);
        w.number(p.firstset);
        w.number(p.sets);
    }
    w.number(hashof(w.out));
    return std::move(w.out);
}

bool compiledrules::load(sysio& sys, const char* path, const rulefile& f, std::string& why) {
    plans_.clear();
    literals_.clear();
    sets_.clear();
    if (!readform(sys, path, bytes_, why)) return false;
    auto refuse = [&](const char* reason) {
        why = reason;
        plans_.clear();
        literals_.clear();
        sets_.clear();
        bytes_.clear();
        return false;
    };
    const std::string_view all(bytes_);
    if (all.size() < sizeof magic + sizeof(uint64_t) ||
        all.compare(0, sizeof magic, std::string_view(magic, sizeof magic)) != 0)
        return refuse("it is not a compiled rule set");
    const std::string_view body = all.substr(0, all.size() - sizeof(uint64_t));
    uint64_t stored = 0;
    std::memcpy(&stored, all.data() + body.size(), sizeof stored);
    if (hashof(body) != stored) return refuse("it is damaged or cut short");
    reader in(body.substr(sizeof magic));
    uint32_t fmt = 0, order = 0, lines = 0, nliterals = 0;
    std::string_view version;
    uint64_t size = 0, hash = 0;
    if (!in.number(fmt) || !in.number(order) || fmt != format || order != byteorder)
        return refuse("it is of another format: compile it again");
    if (!in.text(version) || version != regexversion())
        return refuse("it was made with another version of the regular-expression library");
    uint64_t mysize = 0, myhash = 0;
    rulefilehash(f, mysize, myhash);
    if (!in.number(size) || !in.number(hash) || size != mysize || hash != myhash ||
        !in.number(lines) || lines != f.lines.size())
        return refuse("it was made from another rule file, or before the rule file was edited");
    if (!in.number(nliterals) || nliterals > body.size()) return refuse("it is damaged");
    literals_.resize(nliterals);
    for (std::string_view& l : literals_)
        if (!in.text(l)) return refuse("it is damaged");
    uint32_t nsets = 0, nids = 0;
    if (!in.number(nsets) || nsets > body.size()) return refuse("it is damaged");
    std::vector<byteset> table(nsets);
    for (byteset& set : table)
        for (size_t word = 0; word < 4; ++word) {
            uint64_t bits = 0;
            if (!in.number(bits)) return refuse("it is damaged");
            for (size_t b = 0; b < 64; ++b)
                if ((bits >> b) & 1) set.set(word * 64 + b);
        }
    if (!in.number(nids) || nids > body.size()) return refuse("it is damaged");
    sets_.resize(nids);
    for (byteset& set : sets_) {
        uint32_t id = 0;
        if (!in.number(id) || id >= table.size()) return refuse("it is damaged");
        set = table[id];
    }
    plans_.resize(lines);
    for (ruleplan& p : plans_) {
        uint8_t flags = 0;
        if (!in.number(flags) || (flags & ~(isrule | compiles | skippable)) != 0)
            return refuse("it is damaged");
        p.rule = flags & isrule;
        p.compiles = flags & compiles;
        p.skippable = flags & skippable;
        if (!p.rule) continue;
        if (!in.number(p.run) || !in.number(p.first) || !in.number(p.count) ||
            !in.number(p.firstset) || !in.number(p.sets) || p.first > literals_.size() ||
            p.count > literals_.size() - p.first || p.firstset > sets_.size() ||
            p.sets > sets_.size() - p.firstset || (p.skippable && (p.count == 0 || !p.compiles)))
            return refuse("it is damaged");
    }
    if (!in.done()) return refuse("it is damaged");
    return true;
}

}  // namespace pst
