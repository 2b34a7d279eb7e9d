#include "rules/compiledrules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "counting/regexbackend.h"
#include "fastpath/prefilterpattern.h"
#include "fastpath/shape.h"
#include "fastpath/skippolicy.h"
#include "holders.h"
#include "message/casefold.h"
#include "rules/formlayout.h"
#include "rules/rulefile.h"
#include "system/pathname.h"
#include "system/prefault.h"
#include "system/sysio.h"

namespace pst {

using namespace formlayout;

// Eight bytes a step, each mixed in by a multiplication and a shift: the
// form guards against a stale or damaged file, not against whoever may write
// beside the rule file, who may write the rule file too.
uint64_t formhash(std::string_view bytes, uint64_t h) {
    auto mix = [&h](uint64_t w) {
        h ^= w;
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
    };
    size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, bytes.data() + i, 8);
        mix(w);
    }
    uint64_t tail = bytes.size() - i;  // the length too, so that "a" and "a\0" differ
    for (size_t k = 0; i + k < bytes.size(); ++k)
        tail |= uint64_t{static_cast<unsigned char>(bytes[i + k])} << (8 * (k + 1));
    mix(tail);
    return h;
}

void rulefilehash(const rulefile& f, uint64_t& size, uint64_t& hash) {
    size = 0;
    hash = formhash("");
    for (const std::string_view line : f.lines) {
        size += line.size();
        hash = formhash(line, hash);
    }
}

namespace {

// A form holds, per line of the rule file, a record, at most the line's own
// bytes as literals with their index, and its run sets: a few times the rule
// file's size. Anything far larger is not one, and is not read into memory
// for every message.
uint64_t largestform(uint64_t rulefilesize, uint64_t lines) {
    return 16 * rulefilesize + 64 * lines + 65536;
}

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
    bool skip(uint64_t n) {
        if (n > in_.size() - at_) return false;
        at_ += static_cast<size_t>(n);
        return true;
    }
    size_t at() const { return at_; }
    bool done() const { return at_ == in_.size(); }

   private:
    std::string_view in_;
    size_t at_ = 0;
};

// The whole file, if it is a regular one of a sane size; not zeroed first.
// Whoever can write the form decides the scores, so it is trusted as a
// careful daemon trusts its configuration, and no further than the rule
// file: owned by root or by the rule file's owner, writable by neither group
// nor others, in a directory that only they can change (or a sticky one,
// where nobody else can replace an entry they own). What is wrong, or null.
const char* untrusted(sysio& sys, const char* path, const struct stat& st, const rulefile& f) {
    // Rules that are not a file of their own (a text, a pipe) are trusted
    // as far as whoever runs this.
    const uid_t owner = f.ownerknown ? f.owner : ::geteuid();
    if (st.st_uid != 0 && st.st_uid != owner)
        return "it is owned by another user than the rule file, and whoever can write it "
               "decides the scores";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "it is writable by group or others, and whoever can write it decides the "
               "scores; 'chmod go-w' mends it";
    const std::string dir = parentdirectory(path);
    const fdholder fd(sys.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat d {};
    if (!fd || sys.fstat(fd.get(), &d) != 0) return "its directory cannot be examined";
    if (d.st_uid != 0 && d.st_uid != owner)
        return "its directory is owned by another user than the rule file, who could replace it";
    if ((d.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (d.st_mode & S_ISVTX) == 0)
        return "its directory is writable by group or others, who could replace it";
    return nullptr;
}

// What the prefilters a form's head declares take, at most; 0 for a head
// that is no form's.
uint64_t declaredfilters(std::string_view head) {
    reader in(head);
    std::string_view skipped, version;
    uint32_t fmt = 0, order = 0;
    counts c;
    if (!in.bytes(sizeof magic, skipped) || skipped != std::string_view(magic, sizeof magic) ||
        !in.number(fmt) || !in.number(order) || fmt != format || order != byteorder ||
        !in.text(version) || !in.number(c))
        return 0;
    return std::min(c.filter, largestfilter);
}

bool readform(sysio& sys, const char* path, uint64_t largest, const rulefile& f,
              std::unique_ptr<char[]>& bytes, size_t& size, std::string& why) {
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
    if (const char* wrong = untrusted(sys, path, st, f)) {
        why = wrong;
        return false;
    }
    // The head first: the prefilters it declares may make a form larger.
    const auto want = static_cast<size_t>(st.st_size);
    char head[4096];
    size_t got = 0;
    auto readinto = [&](char* to, size_t upto) {
        while (got < upto) {
            const ssize_t n = sys.read(fd, to + got, upto - got);
            if (n < 0) {
                why = std::strerror(errno);
                return false;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        return true;
    };
    if (!readinto(head, std::min(want, sizeof head))) return false;
    if (static_cast<uint64_t>(st.st_size) > largest + declaredfilters({head, got})) {
        why = "it is too large to be one";
        return false;
    }
    bytes.reset(new char[want ? want : 1]);
    prefault(bytes.get(), want);
    std::memcpy(bytes.get(), head, got);
    if (got == std::min(want, sizeof head) && !readinto(bytes.get(), want)) return false;
    // Cut short while it was read: what is there is checked as it is.
    size = got;
    return true;
}

}  // namespace

std::string compiledpath(std::string_view rulepath) {
    return std::string(rulepath) + ".compiled";
}

// The counts in a form's header and where its sections start.
struct compiledrules::layout {
    counts c;
    uint32_t poolsize = 0;
    size_t settable = 0;
};

bool compiledrules::load(sysio& sys, const char* path, const rulefile& f, std::string& why) {
    clear();
    uint64_t mysize = 0, myhash = 0;
    rulefilehash(f, mysize, myhash);
    if (!readform(sys, path, largestform(mysize, f.lines.size()), f, bytes_, size_, why)) {
        clear();
        return false;
    }
    layout l;
    const char* wrong = sections(mysize, myhash, f.lines.size(), l);
    if (!wrong) wrong = ranges(l, f);
    if (wrong) {
        why = wrong;
        clear();
        return false;
    }
    readsets(l);
    loadfilters(l);
    return true;
}

// A prefilter this build or processor cannot run, or that its library finds
// damaged, is only left unused. The form keeps its own sections alone.
void compiledrules::loadfilters(const layout& l) {
    const size_t body = size_ - static_cast<size_t>(l.c.filter);
    try {
        filter_.load(std::string_view(bytes_.get() + body, static_cast<size_t>(l.c.filter)));
        std::unique_ptr<char[]> kept(new char[body]);
        std::memcpy(kept.get(), bytes_.get(), body);
        bytes_ = std::move(kept);
        size_ = body;
    } catch (const std::bad_alloc&) {
    }
}

void compiledrules::clear() {
    bytes_.reset();
    size_ = 0;
    lines_ = 0;
    sets_.clear();
    filter_.load("");
}

// Checks the form's hash, format, library and rule file, and finds its
// sections: what is wrong, or null.
const char* compiledrules::sections(uint64_t mysize, uint64_t myhash, size_t mylines, layout& l) {
    const std::string_view all(bytes_.get(), size_);
    if (all.size() < sizeof magic + sealbytes ||
        all.compare(0, sizeof magic, std::string_view(magic, sizeof magic)) != 0)
        return "it is not a compiled rule set";
    reader head(all);
    std::string_view skipped, version;
    uint32_t fmt = 0, order = 0;
    const counts& c = l.c;
    head.bytes(sizeof magic, skipped);
    if (!head.number(fmt) || !head.number(order)) return "it is damaged or cut short";
    if (fmt != format || order != byteorder) return "it is of another format: compile it again";
    if (!head.text(version) || !head.number(l.c)) return "it is damaged or cut short";
    // The prefilter follows the seal; what goes before it is sealed.
    const uint64_t room = all.size() - head.at();
    if (c.filter > largestfilter || c.filter > room - std::min<uint64_t>(room, sealbytes))
        return "it is damaged or cut short";
    const std::string_view sealed = all.substr(0, all.size() - c.filter);
    const std::string_view body = sealed.substr(0, sealed.size() - sealbytes);
    uint64_t stored = 0;
    std::memcpy(&stored, sealed.data() + body.size(), sizeof stored);
    if (formhash(body) != stored) return "it is damaged or cut short";
    if (version != regexversion())
        return "it was made with another version of the regular-expression library";
    if (c.rulesize != mysize || c.rulehash != myhash || c.lines != mylines)
        return "it was made from another rule file, or before the rule file was edited";
    reader in(body);
    in.skip(head.at());
    literalindex_ = in.at();
    if (!in.skip(uint64_t{l.c.literals} * sizeof(literalentry)) || !in.number(l.poolsize))
        return "it is damaged";
    pool_ = in.at();
    if (!in.skip(l.poolsize)) return "it is damaged";
    l.settable = in.at();
    if (!in.skip(uint64_t{l.c.sets} * setbytes)) return "it is damaged";
    setids_ = in.at();
    if (!in.skip(uint64_t{l.c.setrefs} * setrefbytes)) return "it is damaged";
    records_ = in.at();
    if (!in.skip(uint64_t{l.c.lines} * sizeof(record))) return "it is damaged";
    entries_ = in.at();
    if (!in.skip(uint64_t{l.c.filtered} * sizeof(filterentry)) || !in.done())
        return "it is damaged";
    return nullptr;
}

// Every range a plan may point to, checked once, so that the plans can be
// read where they lie; and laid out as compile lays them out, each rule's
// literals and run sets after the previous rule's, never shared, each
// literal in its own bytes of the pool, none longer or more numerous than
// its line could give. So the work a form can ask of a message is bounded
// by its rule file. What is wrong, or null.
namespace {

// One plan's ranges, laid out after the previous plan's: its filter entry,
// its literals and run sets, then its capitals' strings. What is wrong, or
// null; the next free places advanced past the plan's.
const char* planranges(const ruleplan& p, const counts& c, uint32_t& nextliteral, uint32_t& nextset,
                       uint32_t& nextentry) {
    if (p.filtered || p.capsfiltered) {
        if (p.entry != nextentry) return "it is damaged";
        ++nextentry;
    }
    if (!p.skippable && (p.count != 0 || p.sets != 0)) return "it is damaged";
    if (p.skippable) {
        if (p.first != nextliteral || p.count > c.literals - p.first || p.firstset != nextset ||
            p.sets > c.setrefs - p.firstset || p.count == 0 || !p.compiles)
            return "it is damaged";
        nextliteral = p.first + p.count;
        nextset = p.firstset + p.sets;
    }
    if (!p.capsfiltered && p.capscount != 0) return "it is damaged";
    if (p.capsfiltered && (p.capsfirst != nextliteral || p.capscount > c.literals - p.capsfirst ||
                           p.capscount == 0 || p.capscount > prefilterstrings || !p.compiles))
        return "it is damaged";
    nextliteral += p.capscount;
    return nullptr;
}

}  // namespace

const char* compiledrules::ranges(const layout& l, const rulefile& f) {
    const char* base = bytes_.get();
    uint64_t pooled = 0;
    for (uint32_t i = 0; i < l.c.literals; ++i) {
        uint32_t offset = 0, length = 0;
        indexentry(i, offset, length);
        if (offset != pooled || length > l.poolsize - offset) return "it is damaged";
        pooled += length;
    }
    if (pooled != l.poolsize) return "it is damaged";
    for (uint32_t i = 0; i < l.c.setrefs; ++i) {
        uint32_t id = 0;
        std::memcpy(&id, base + setids_ + size_t{i} * setrefbytes, setrefbytes);
        if (id >= l.c.sets) return "it is damaged";
    }
    lines_ = l.c.lines;
    entrycount_ = l.c.filtered;
    uint32_t nextliteral = 0, nextset = 0, nextentry = 0;
    for (uint32_t line = 1; line <= l.c.lines; ++line) {
        ruleplan p;
        if (!planfor(static_cast<int>(line), p)) {
            uint8_t flags = 0;
            std::memcpy(&flags, base + records_ + size_t{line - 1} * sizeof(record), 1);
            if (flags != 0) return "it is damaged";
            continue;
        }
        const uint32_t own = nextliteral;
        if (const char* wrong = planranges(p, l.c, nextliteral, nextset, nextentry)) return wrong;
        // A literal holds at most 64 bytes for each byte of the pattern (a
        // repeat such as "x{64}"), and there is at most one for each byte,
        // or a few dozen strings of the capitals.
        const uint64_t linebytes = f.lines[line - 1].size();
        if (p.count > linebytes) return "its literals cannot come from the rules";
        for (uint32_t i = own; i < nextliteral; ++i)
            if (literal(i).size() > 64 * linebytes)
                return "its literals cannot come from the rules";
    }
    if (nextliteral != l.c.literals || nextset != l.c.setrefs || nextentry != l.c.filtered)
        return "it is damaged";
    return nullptr;
}

void compiledrules::readsets(const layout& l) {
    sets_.resize(l.c.sets);
    for (uint32_t i = 0; i < l.c.sets; ++i)
        for (size_t word = 0; word < 4; ++word) {
            uint64_t bits = 0;
            std::memcpy(&bits, bytes_.get() + l.settable + size_t{i} * setbytes + word * 8, 8);
            for (size_t b = 0; b < 64; ++b)
                if ((bits >> b) & 1) sets_[i].set(word * 64 + b);
        }
}

bool compiledrules::planfor(int line, ruleplan& out) const {
    if (line < 1 || static_cast<uint32_t>(line) > lines_) return false;
    record r;
    std::memcpy(&r, bytes_.get() + records_ + static_cast<size_t>(line - 1) * sizeof r, sizeof r);
    if ((r.flags & isrule) == 0 ||
        (r.flags & ~(isrule | compiles | skippable | filtered | capsfiltered)) != 0)
        return false;
    out.rule = true;
    out.compiles = r.flags & compiles;
    out.skippable = r.flags & skippable;
    out.run = r.run;
    out.first = r.first;
    out.count = r.count;
    out.firstset = r.firstset;
    out.sets = r.sets;
    out.filtered = (r.flags & filtered) != 0 && (r.flags & compiles) != 0;
    out.capsfiltered = (r.flags & capsfiltered) != 0 && (r.flags & compiles) != 0;
    out.entry = r.entry;
    out.quiet = out.capsquiet = 0;
    out.capsfirst = out.capscount = 0;
    if ((r.flags & (filtered | capsfiltered)) == 0) return true;
    // An entry past the last leaves the rule to be searched.
    if (r.entry >= entrycount_) {
        out.filtered = out.capsfiltered = false;
        return true;
    }
    filterentry e;
    std::memcpy(&e, bytes_.get() + entries_ + size_t{r.entry} * sizeof e, sizeof e);
    out.quiet = e.quiet;
    out.capsquiet = e.capsquiet;
    out.capsfirst = e.capsfirst;
    out.capscount = e.capscount;
    return true;
}

void compiledrules::indexentry(uint32_t i, uint32_t& offset, uint32_t& length) const {
    literalentry e;
    std::memcpy(&e, bytes_.get() + literalindex_ + size_t{i} * sizeof e, sizeof e);
    offset = e.offset;
    length = e.length;
}

std::string_view compiledrules::literal(uint32_t i) const {
    uint32_t offset = 0, length = 0;
    indexentry(i, offset, length);
    return std::string_view(bytes_.get() + pool_ + offset, length);
}

const byteset& compiledrules::runset(uint32_t i) const {
    uint32_t id = 0;
    std::memcpy(&id, bytes_.get() + setids_ + size_t{i} * setrefbytes, setrefbytes);
    return sets_[id];
}

}  // namespace pst
