// The bytes of a compiled rule set, as its writer lays them out and its
// reader finds them. In order: the magic, the format and a byte-order mark;
// the regular-expression library's version (its length as 4 bytes, then its
// bytes); the counts; the literals' index, the pool's size (4 bytes) and
// the pool; the run sets (256 bits each); the references to them (4 bytes
// each); one record per line of the rule file; the filter entries; then the
// seal, a hash of all that goes before. After the seal, the prefilter of the
// folded text, as its library serializes it (the library checks its own
// checksum; the seal would cost more than the rest of a small message's
// scan). Fixed sizes let a plan be read where it lies. Any change of the
// layout or of what a record means takes a new format number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pst::formlayout {

constexpr char magic[8] = {'P', 'S', 'T', 'R', 'U', 'L', 'E', 'S'};
constexpr uint32_t format = 3;
constexpr uint32_t byteorder = 0x01020304;

struct counts {
    uint64_t rulesize = 0, rulehash = 0;  // of the rule file it was made from
    uint32_t lines = 0;                   // of the rule file: one record each
    uint32_t literals = 0;                // entries of the literals' index
    uint32_t sets = 0;                    // distinct run sets
    uint32_t setrefs = 0;                 // references to them, in the plans' order
    uint32_t filtered = 0;                // filter entries, after the records
    uint32_t spare = 0;
    uint64_t filter = 0;  // the prefilter's size, after the seal
};
static_assert(sizeof(counts) == 48);
static_assert(offsetof(counts, lines) == 16 && offsetof(counts, setrefs) == 28 &&
              offsetof(counts, filtered) == 32 && offsetof(counts, filter) == 40);

// Where the counts start, after a library version of versionsize bytes.
constexpr size_t countsat(size_t versionsize) {
    return sizeof magic + sizeof format + sizeof byteorder + sizeof(uint32_t) + versionsize;
}

// A literal: its place in the pool.
struct literalentry {
    uint32_t offset = 0, length = 0;
};
static_assert(sizeof(literalentry) == 8);

constexpr size_t setbytes = 32;
constexpr size_t setrefbytes = 4;

enum : uint8_t { isrule = 1, compiles = 2, skippable = 4, filtered = 8, capsfiltered = 16 };

// No prefilter is read that is larger than this.
constexpr uint64_t largestfilter = uint64_t{256} << 20;

// What the form says of one line; a line that is no rule has flags 0 and
// nothing else.
struct record {
    uint8_t flags = 0;
    uint8_t spare[3] = {};
    uint32_t entry = 0;  // its filter entry, where flags say it has one
    uint64_t run = 0;
    uint32_t first = 0, count = 0;    // its literals in the index
    uint32_t firstset = 0, sets = 0;  // its run sets among the references
};
static_assert(sizeof(record) == 32);
static_assert(offsetof(record, entry) == 4 && offsetof(record, run) == 8 &&
              offsetof(record, first) == 16 && offsetof(record, count) == 20 &&
              offsetof(record, firstset) == 24 && offsetof(record, sets) == 28);

// What the prefilter needs of a line it stands for, or whose capitals' strings
// are kept: one entry each, in the order of the lines, after the records.
struct filterentry {
    // The longest text in which the prefilter's silence leaves out the
    // search of the pattern, and in which the absence of the capitals'
    // strings leaves out theirs.
    uint64_t quiet = 0, capsquiet = 0;
    uint32_t capsfirst = 0, capscount = 0;  // the capitals' strings in the index
};
static_assert(sizeof(filterentry) == 24);
static_assert(offsetof(filterentry, capsfirst) == 16);

// The hash at the end.
constexpr size_t sealbytes = 8;

}  // namespace pst::formlayout
