#include "fastpath/prefilter.h"

#include <cstddef>
#include <iterator>
#include <new>

#ifdef POSTSENTINEL_PREFILTER
#include <hs/hs.h>

#include "fastpath/prefilterlib.h"
#include "system/prefault.h"
#endif

namespace pst {

#ifdef POSTSENTINEL_PREFILTER

using namespace prefilterlib;

namespace {

struct scratchfree {
    void operator()(hs_scratch_t* s) const { hs_free_scratch(s); }
};
using scratch = std::unique_ptr<hs_scratch_t, scratchfree>;

struct flags {
    std::vector<bool>& flagged;
    uint32_t base;
};

int onmatch(unsigned id, unsigned long long, unsigned long long, unsigned, void* context) {
    const auto& f = *static_cast<flags*>(context);
    if (id >= f.base && id - f.base < f.flagged.size()) f.flagged[id - f.base] = true;
    return 0;
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
    return std::string("Hyperscan ") + hs_version();
}

struct prefilter::impl {
    // The database, deserialized into memory of its own.
    std::unique_ptr<std::max_align_t[]> memory;
    hs_database_t* db = nullptr;
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
    size_t need = 0;
    if (hs_serialized_database_size(serialized.data(), serialized.size(), &need) != HS_SUCCESS)
        return false;
    const size_t words = (need + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    m->memory.reset(new (std::nothrow) std::max_align_t[words]);
    if (!m->memory) return false;
    prefault(m->memory.get(), need);
    m->db = reinterpret_cast<hs_database_t*>(m->memory.get());
    // The library checks the database's version, platform and checksum.
    if (hs_deserialize_database_at(serialized.data(), serialized.size(), m->db) != HS_SUCCESS)
        return false;
    hs_scratch_t* s = nullptr;
    if (hs_alloc_scratch(m->db, &s) != HS_SUCCESS) return false;
    m->prototype.reset(s);
    if (hs_database_size(m->db, &m->size) != HS_SUCCESS) return false;
    std::vector<bool> seen(std::size(canaries), false);
    if (!scanwith(m->db, s, canarytext(), seen, canarybase)) return false;
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
    return scanwith(impl_->db, impl_->prototype.get(), text, flagged, 0);
}

#else

bool prefilteravailable() {
    return false;
}

std::string prefilterversion() {
    return "none: this build has no prefilter library";
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
