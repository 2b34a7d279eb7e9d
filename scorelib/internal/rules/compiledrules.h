// A compiled rule set: what the evaluation would otherwise work out from
// every rule in every process (whether its pattern compiles, the literals
// every match of it holds, and in which texts a search may be left out when
// none of them occurs), worked out once by "blocklistctl compile" and
// kept beside the rule file.
//
// It is used only when it was made from exactly the rule file being read
// (its size and a hash of its content), in this format, with this version
// of the regular-expression library; and only whole: a form that is short,
// damaged, foreign or stale is refused, and the evaluation works everything
// out as it does without one. With or without it, every count, diagnostic
// and statistics line is the same: it only lets a rule whose literals the
// text lacks go unanalysed and uncompiled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fastpath/patternsyntax.h"
#include "fastpath/prefilter.h"
#include "fastpath/skippolicy.h"

namespace pst {

class sysio;
struct rulefile;

// What the compiled form says of one rule line.
struct ruleplan {
    bool rule = false;      // the line is a rule (of any weight)
    bool compiles = false;  // its pattern compiles with this library
    // The rule counts 0 without a search in a text that holds none of its
    // required literals and no run of the bytes of one of its run sets
    // longer than run.
    bool skippable = false;
    uint64_t run = 0;
    uint32_t first = 0, count = 0;    // its required literals: literal(first...)
    uint32_t firstset = 0, sets = 0;  // its run sets: runset(firstset...)
    // The prefilter of the folded text holds the pattern: in a text no
    // longer than quiet that the prefilter does not flag it in, its search
    // counts 0 and reports nothing. The same for the capitals in a text no
    // longer than capsquiet that holds none of literal(capsfirst...).
    bool filtered = false, capsfiltered = false;
    uint64_t quiet = 0, capsquiet = 0;
    uint32_t capsfirst = 0, capscount = 0;
    uint32_t entry = 0;  // where those are kept
};

class compiledrules {
   public:
    // The compiled form of the rules of f, every rule whatever its weight,
    // with the prefilters where this build has them and prefilters is true.
    // Exhausted memory is thrown.
    static std::string make(const rulefile& f, bool prefilters = true);

    // Reads the form at path (a regular file, not through a symbolic link)
    // and checks it against the lines of f. False, with what is wrong in
    // why, when it cannot be used; the object is then empty. Every range in
    // it is checked here, once: the plans are read from it as they are
    // asked for.
    bool load(sysio& sys, const char* path, const rulefile& f, std::string& why);

    // The plan of the rule on line (from 1); false where the form has none.
    bool planfor(int line, ruleplan& out) const;
    // The lines of the rule file it was made from.
    uint32_t lines() const { return lines_; }
    // The i-th required literal and run set that plans point to.
    std::string_view literal(uint32_t i) const;
    const byteset& runset(uint32_t i) const;
    // The prefilter of the folded text, its ids the rules' lines less one;
    // null where the form has none this build and processor can run.
    const prefilter* filter() const { return filter_.loaded() ? &filter_ : nullptr; }

   private:
    struct layout;
    void clear();
    const char* sections(uint64_t mysize, uint64_t myhash, size_t mylines, layout& l);
    const char* ranges(const layout& l, const rulefile& f);
    void readsets(const layout& l);
    void loadfilters(const layout& l);
    // The i-th literal's place in the pool.
    void indexentry(uint32_t i, uint32_t& offset, uint32_t& length) const;

    std::unique_ptr<char[]> bytes_;
    size_t size_ = 0;
    uint32_t lines_ = 0;
    // Where the sections start in bytes_.
    size_t literalindex_ = 0, pool_ = 0, setids_ = 0, records_ = 0, entries_ = 0;
    uint32_t entrycount_ = 0;
    std::vector<byteset> sets_;  // the distinct run sets
    prefilter filter_;
};

// One skippable rule's literals and run sets, as the counter asks for them.
class planfacts final : public skipfacts {
   public:
    planfacts(const compiledrules& form, const ruleplan& plan) : form_(form), plan_(plan) {}
    uint64_t run() const override { return plan_.run; }
    uint32_t literals() const override { return plan_.count; }
    std::string_view literal(uint32_t i) const override { return form_.literal(plan_.first + i); }
    uint32_t runsets() const override { return plan_.sets; }
    const byteset& runset(uint32_t i) const override { return form_.runset(plan_.firstset + i); }

   private:
    const compiledrules& form_;
    const ruleplan& plan_;
};

// The hash that seals a form, eight bytes a step; and the size and hash of
// a rule file's lines that a form names the file by.
uint64_t formhash(std::string_view bytes, uint64_t h = 0x9E3779B97F4A7C15ULL);
void rulefilehash(const rulefile& f, uint64_t& size, uint64_t& hash);

// Where the compiled form of a rule file lives: beside it.
std::string compiledpath(std::string_view rulepath);

}  // namespace pst
