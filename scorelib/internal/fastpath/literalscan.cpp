#include "fastpath/literalscan.h"

#include <array>
#include <climits>
#include <cstdint>
#include <new>

namespace pst {
namespace {

// Past this many table entries (4 bytes each) the automaton costs more to
// build than the searches it saves.
constexpr size_t maxentries = size_t{4} << 20;

struct automaton {
    std::array<uint8_t, 256> cls{};  // byte -> column; 0 for bytes in no literal
    size_t columns = 1;
    std::vector<int32_t> next;     // state * columns + column -> state
    std::vector<int32_t> ends;     // literal ending at the state, or -1
    std::vector<int32_t> outlink;  // nearest shorter suffix state where one ends, or -1
};

// The trie of the literals, each state's end marked.
void addtrie(automaton& a, const std::vector<std::string>& literals) {
    a.next.assign(a.columns, -1);
    a.ends.assign(1, -1);
    for (size_t id = 0; id < literals.size(); ++id) {
        int32_t s = 0;
        for (const char c : literals[id]) {
            const size_t edge =
                static_cast<size_t>(s) * a.columns + a.cls[static_cast<unsigned char>(c)];
            if (a.next[edge] < 0) {
                a.next[edge] = static_cast<int32_t>(a.ends.size());
                a.ends.push_back(-1);
                a.next.resize(a.next.size() + a.columns, -1);
            }
            s = a.next[edge];
        }
        a.ends[static_cast<size_t>(s)] = static_cast<int32_t>(id);
    }
}

// Breadth first: every missing edge goes where the failure link's edge
// goes, so that the scan takes one step per byte.
void addlinks(automaton& a) {
    const size_t n = a.ends.size();
    std::vector<int32_t> fail(n, 0), queue;
    a.outlink.assign(n, -1);
    queue.reserve(n);
    for (size_t c = 0; c < a.columns; ++c) {
        int32_t& t = a.next[c];
        if (t < 0) {
            t = 0;
        } else {
            queue.push_back(t);
        }
    }
    for (size_t head = 0; head < queue.size(); ++head) {
        const auto s = static_cast<size_t>(queue[head]);
        for (size_t c = 0; c < a.columns; ++c) {
            int32_t& t = a.next[s * a.columns + c];
            const int32_t viafail = a.next[static_cast<size_t>(fail[s]) * a.columns + c];
            if (t < 0) {
                t = viafail;
                continue;
            }
            fail[static_cast<size_t>(t)] = viafail;
            a.outlink[static_cast<size_t>(t)] = a.ends[static_cast<size_t>(viafail)] >= 0
                                                    ? viafail
                                                    : a.outlink[static_cast<size_t>(viafail)];
            queue.push_back(t);
        }
    }
}

automaton build(const std::vector<std::string>& literals) {
    automaton a;
    size_t states = 1;
    for (const std::string& l : literals) {
        states += l.size();
        for (const char c : l) {
            auto& col = a.cls[static_cast<unsigned char>(c)];
            if (col == 0) col = static_cast<uint8_t>(a.columns++);
        }
    }
    if (a.columns > 255 || states > INT32_MAX || states * a.columns > maxentries)
        throw std::bad_alloc();
    addtrie(a, literals);
    addlinks(a);
    return a;
}

}  // namespace

literalmap scanliterals(std::string_view text, const std::vector<std::string>& literals) {
    std::vector<std::string> distinct;
    literalmap found;
    {
        std::unordered_map<std::string_view, bool> seen;
        for (const std::string& l : literals)
            if (!l.empty() && seen.emplace(l, true).second) distinct.push_back(l);
    }
    const automaton a = build(distinct);
    struct progress {
        bool seen = false;
        size_t nextfree = 0;  // where a non-overlapping occurrence may start
        literalfacts facts;
    };
    std::vector<progress> p(distinct.size());
    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    int32_t s = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        s = a.next[static_cast<size_t>(s) * a.columns + a.cls[t[i]]];
        for (int32_t o = a.ends[static_cast<size_t>(s)] >= 0 ? s
                                                             : a.outlink[static_cast<size_t>(s)];
             o >= 0; o = a.outlink[static_cast<size_t>(o)]) {
            const auto id = static_cast<size_t>(a.ends[static_cast<size_t>(o)]);
            progress& q = p[id];
            const size_t start = i + 1 - distinct[id].size();
            if (!q.seen) q.facts.first = start;
            q.seen = true;
            q.facts.last = start;
            if (start >= q.nextfree) {
                ++q.facts.count;
                q.nextfree = start + distinct[id].size();
            }
        }
    }
    for (size_t id = 0; id < distinct.size(); ++id) found.emplace(distinct[id], p[id].facts);
    return found;
}

}  // namespace pst
