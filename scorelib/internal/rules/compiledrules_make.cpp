// Making a compiled form: what "blocklistctl compile" writes. Kept apart
// from reading one, so that the plugin carries no compiler of prefilters.
#include <algorithm>

#include "counting/regexbackend.h"
#include "fastpath/prefilter.h"
#include "fastpath/prefilterpattern.h"
#include "fastpath/shape.h"
#include "fastpath/skippolicy.h"
#include "holders.h"
#include "message/casefold.h"
#include "rules/compiledrules.h"
#include "rules/formlayout.h"
#include "rules/rulefile.h"

namespace pst {

using namespace formlayout;

namespace {

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

// What a form holds, before it is laid out.
struct formcontent {
    std::vector<ruleplan> plans;  // one per line
    std::vector<std::string> literals;
    std::vector<byteset> sets;      // distinct
    std::vector<uint32_t> setrefs;  // into sets, in the plans' order
    std::string filter;             // the serialized prefilter
};

// The capitals' strings, where they tell when the capitals' search would
// count 0: at the end of the literals, after the rule's own.
void plancapitals(const ruleline& r, ruleplan& p, formcontent& c) {
    const cbuf upper(ucstrndup(r.pattern.data(), r.pattern.size()));
    // Its compile error is a line of output: such capitals are searched.
    if (!compileregex(upper.get(), watch::none)) return;
    const prefilterpattern caps = prefilterfor(upper.get());
    if (!caps.usable) return;
    p.capsfiltered = true;
    p.capsquiet = caps.quietupto;
    p.capsfirst = static_cast<uint32_t>(c.literals.size());
    p.capscount = static_cast<uint32_t>(caps.strings.size());
    c.literals.insert(c.literals.end(), caps.strings.begin(), caps.strings.end());
}

// The prefilter of the patterns whose strings are known, each its line less
// one; the plans of those it refuses are not filtered.
void buildfilter(const std::vector<std::vector<std::string>>& strings, formcontent& c) {
    std::vector<prefilterentry> entries;
    for (size_t i = 0; i < strings.size(); ++i)
        if (c.plans[i].filtered) entries.push_back({&strings[i], static_cast<uint32_t>(i)});
    std::vector<uint32_t> refused;
    c.filter = buildprefilter(entries, refused);
    for (const uint32_t id : refused) c.plans[id].filtered = false;
    if (c.filter.size() > largestfilter) c.filter.clear();
    if (c.filter.empty())
        for (ruleplan& p : c.plans) p.filtered = false;
}

formcontent planrules(const rulefile& f, bool prefilters) {
    rulefile all;
    takerulelines(all, f.text);
    parserules(weights::all, all);
    formcontent c;
    c.plans.resize(all.lines.size());
    std::vector<std::vector<std::string>> strings(prefilters ? all.lines.size() : 0);
    const bool filters = prefilters && prefilteravailable();
    for (const ruleline& r : all.rules) {
        ruleplan& p = c.plans[static_cast<size_t>(r.line - 1)];
        p.rule = true;
        p.compiles = compileregex(r.pattern.data(), watch::none) != nullptr;
        if (!p.compiles) continue;
        const patternshape shape = analyse(r.pattern);
        p.skippable = skippablerun(shape, p.run);
        if (p.skippable) {
            p.first = static_cast<uint32_t>(c.literals.size());
            p.count = static_cast<uint32_t>(shape.required.size());
            c.literals.insert(c.literals.end(), shape.required.begin(), shape.required.end());
            p.firstset = static_cast<uint32_t>(c.setrefs.size());
            for (const byteset& set : pst::runsets(shape)) {
                auto at = std::find(c.sets.begin(), c.sets.end(), set);
                if (at == c.sets.end()) at = c.sets.insert(c.sets.end(), set);
                c.setrefs.push_back(static_cast<uint32_t>(at - c.sets.begin()));
            }
            p.sets = static_cast<uint32_t>(c.setrefs.size()) - p.firstset;
        }
        if (!prefilters) continue;
        // A rule its literals already leave out costs the prefilter room
        // and every message its load, for next to nothing.
        if (filters && !p.skippable) {
            prefilterpattern main = prefilterfor(r.pattern);
            p.filtered = main.usable;
            p.quiet = main.quietupto;
            strings[static_cast<size_t>(r.line - 1)] = std::move(main.strings);
        }
        if (!r.exact && !p.skippable) plancapitals(r, p, c);
    }
    if (filters) buildfilter(strings, c);
    return c;
}

void writesections(const formcontent& c, writer& w) {
    uint32_t offset = 0;
    for (const std::string& l : c.literals) {
        const literalentry e{offset, static_cast<uint32_t>(l.size())};
        w.number(e);
        offset += e.length;
    }
    w.number(offset);
    for (const std::string& l : c.literals) w.bytes(l);
    for (const byteset& set : c.sets)
        for (size_t word = 0; word < 4; ++word) {
            uint64_t bits = 0;
            for (size_t b = 0; b < 64; ++b)
                if (set.test(word * 64 + b)) bits |= uint64_t{1} << b;
            w.number(bits);
        }
    for (const uint32_t id : c.setrefs) w.number(id);
    uint32_t entries = 0;
    for (const ruleplan& p : c.plans) {
        record r;
        r.flags = static_cast<uint8_t>((p.rule ? isrule : 0) | (p.compiles ? compiles : 0) |
                                       (p.skippable ? skippable : 0) | (p.filtered ? filtered : 0) |
                                       (p.capsfiltered ? capsfiltered : 0));
        r.run = p.run;
        r.first = p.first;
        r.count = p.count;
        r.firstset = p.firstset;
        r.sets = p.sets;
        if (p.filtered || p.capsfiltered) r.entry = entries++;
        w.number(r);
    }
    for (const ruleplan& p : c.plans) {
        if (!p.filtered && !p.capsfiltered) continue;
        const filterentry e{p.quiet, p.capsquiet, p.capsfirst, p.capscount};
        w.number(e);
    }
}

}  // namespace

std::string compiledrules::make(const rulefile& f, bool prefilters) {
    const formcontent content = planrules(f, prefilters);
    counts c;
    rulefilehash(f, c.rulesize, c.rulehash);
    c.lines = static_cast<uint32_t>(content.plans.size());
    c.literals = static_cast<uint32_t>(content.literals.size());
    c.sets = static_cast<uint32_t>(content.sets.size());
    c.setrefs = static_cast<uint32_t>(content.setrefs.size());
    c.filter = content.filter.size();
    for (const ruleplan& p : content.plans) c.filtered += p.filtered || p.capsfiltered;
    writer w;
    w.bytes(std::string_view(magic, sizeof magic));
    w.number(format);
    w.number(byteorder);
    w.text(regexversion());
    w.number(c);
    writesections(content, w);
    w.number(formhash(w.out));
    w.bytes(content.filter);
    return std::move(w.out);
}

}  // namespace pst
