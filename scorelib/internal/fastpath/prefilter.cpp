#include "fastpath/prefilter.h"

#include <cstdlib>
#include <iterator>

#ifdef POSTSENTINEL_PREFILTER
#include <hs/hs.h>
#endif

namespace pst {

#ifdef POSTSENTINEL_PREFILTER

namespace {

// Languages are plain byte patterns; a prefilter may only ever flag more.
constexpr unsigned languageflags = HS_FLAG_SINGLEMATCH | HS_FLAG_PREFILTER;

struct databasefree {
    void operator()(hs_database_t* db) const { hs_free_database(db); }
};
struct scratchfree {
    void operator()(hs_scratch_t* s) const { hs_free_scratch(s); }
};
using database = std::unique_ptr<hs_database_t, databasefree>;
using scratch = std::unique_ptr<hs_scratch_t, scratchfree>;

database compileone(const char* language) {
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile(language, languageflags, HS_MODE_BLOCK, nullptr, &db, &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return nullptr;
    }
    return database(db);
}

struct flags {
    std::vector<bool>& flagged;
    uint32_t base;
};

int onmatch(unsigned id, unsigned long long, unsigned long long, unsigned, void* context) {
    const auto& f = *static_cast<flags*>(context);
    if (id >= f.base && id - f.base < f.flagged.size()) f.flagged[id - f.base] = true;
    return 0;
}

// Languages that every prefilter holds beside the rules', and a text they
// all occur in, scanned whenever one is loaded: a library that misses one
// is not used. Debian's Vectorscan 5.4.9 misses matches past the first 64
// bytes of a text on processors with AVX-512.
constexpr uint32_t canarybase = 0xFFFFFF00;
constexpr const char* canaries[] = {"\\x64", "\\x64[\\x70\\x71]", "\\x7a",
                                    "(?:\\x64|\\x65)\\x71", "(?:\\x78){3}\\x64",
                                    "\\x78[\\x00-\\xff]*\\x7a"};
std::string canarytext() {
    return std::string(200, 'x') + "dq" + std::string(70, 'y') + "z";
}

bool scanwith(hs_database_t* db, hs_scratch_t* prototype, std::string_view text,
              std::vector<bool>& flagged, uint32_t base) {
    hs_scratch_t* s = nullptr;
    if (hs_clone_scratch(prototype, &s) != HS_SUCCESS) return false;
    const scratch hold(s);
    flags f{flagged, base};
    return hs_scan(db, text.data(), static_cast<unsigned>(text.size()), 0, s, onmatch, &f) ==
           HS_SUCCESS;
}

}  // namespace

bool prefilteravailable() {
    return hs_valid_platform() == HS_SUCCESS;
}

std::string prefilterversion() {
    return std::string("Vectorscan ") + hs_version();
}

std::string buildprefilter(const std::vector<prefilterentry>& entries,
                           std::vector<uint32_t>& refused) {
    if (!prefilteravailable()) return "";
    std::vector<std::string> languages;
    std::vector<unsigned> ids;
    for (const prefilterentry& e : entries) {
        // Each alone first: one refused pattern would refuse them all.
        const std::string language(e.language);
        if (!compileone(language.c_str())) {
            refused.push_back(e.id);
            continue;
        }
        languages.push_back(language);
        ids.push_back(e.id);
    }
    if (languages.empty()) return "";
    for (uint32_t k = 0; k < std::size(canaries); ++k) {
        languages.emplace_back(canaries[k]);
        ids.push_back(canarybase + k);
    }
    std::vector<const char*> texts;
    for (const std::string& l : languages) texts.push_back(l.c_str());
    const std::vector<unsigned> flags(texts.size(), languageflags);
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), ids.data(), static_cast<unsigned>(texts.size()),
                         HS_MODE_BLOCK, nullptr, &db, &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        refused.insert(refused.end(), ids.begin(), ids.end());
        return "";
    }
    const database hold(db);
    char* bytes = nullptr;
    size_t length = 0;
    if (hs_serialize_database(db, &bytes, &length) != HS_SUCCESS) return "";
    std::string out(bytes, length);
    std::free(bytes);  // NOLINT(cppcoreguidelines-no-malloc): the library allocated it
    return out;
}

struct prefilter::impl {
    database db;
    scratch prototype;
    size_t size = 0;
};

prefilter::prefilter() = default;
prefilter::~prefilter() = default;
prefilter::prefilter(prefilter&&) noexcept = default;
prefilter& prefilter::operator=(prefilter&&) noexcept = default;

bool prefilter::load(std::string_view serialized) {
    impl_.reset();
    if (!prefilteravailable() || serialized.empty()) return false;
    auto m = std::make_unique<impl>();
    hs_database_t* db = nullptr;
    // The library checks the database's version, platform and checksum.
    if (hs_deserialize_database(serialized.data(), serialized.size(), &db) != HS_SUCCESS)
        return false;
    m->db.reset(db);
    hs_scratch_t* s = nullptr;
    if (hs_alloc_scratch(db, &s) != HS_SUCCESS) return false;
    m->prototype.reset(s);
    if (hs_database_size(db, &m->size) != HS_SUCCESS) return false;
    std::vector<bool> seen(std::size(canaries), false);
    if (!scanwith(db, s, canarytext(), seen, canarybase)) return false;
    for (const bool b : seen)
        if (!b) return false;
    impl_ = std::move(m);
    return true;
}

bool prefilter::loaded() const {
    return impl_ != nullptr;
}

size_t prefilter::size() const {
    return impl_ ? impl_->size : 0;
}

bool prefilter::scan(std::string_view text, std::vector<bool>& flagged) const {
    if (!impl_ || text.size() > UINT32_MAX) return false;
    return scanwith(impl_->db.get(), impl_->prototype.get(), text, flagged, 0);
}

#else

bool prefilteravailable() {
    return false;
}

std::string prefilterversion() {
    return "none: this build has no prefilter library";
}

std::string buildprefilter(const std::vector<prefilterentry>& entries,
                           std::vector<uint32_t>& refused) {
    for (const prefilterentry& e : entries) refused.push_back(e.id);
    return "";
}

struct prefilter::impl {};

prefilter::prefilter() = default;
prefilter::~prefilter() = default;
prefilter::prefilter(prefilter&&) noexcept = default;
prefilter& prefilter::operator=(prefilter&&) noexcept = default;

bool prefilter::load(std::string_view) {
    return false;
}

bool prefilter::loaded() const {
    return false;
}

size_t prefilter::size() const {
    return 0;
}

bool prefilter::scan(std::string_view, std::vector<bool>&) const {
    return false;
}

#endif

}  // namespace pst
