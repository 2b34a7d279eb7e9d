// Building the prefilter: blocklistctl compile's part, kept apart from
// running it, so that the plugin carries no compiler of patterns.
#include <cstdlib>
#include <iterator>

#include "fastpath/prefilter.h"

#ifdef POSTSENTINEL_PREFILTER
#include <hs/hs.h>

#include <memory>

#include "fastpath/prefilterlib.h"
#endif

namespace pst {

#ifdef POSTSENTINEL_PREFILTER

using namespace prefilterlib;

namespace {

// Languages are plain byte patterns; a prefilter may only ever flag more.
constexpr unsigned languageflags = HS_FLAG_SINGLEMATCH | HS_FLAG_PREFILTER;

struct databasefree {
    void operator()(hs_database_t* db) const { hs_free_database(db); }
};
using database = std::unique_ptr<hs_database_t, databasefree>;

database compileone(const char* language) {
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile(language, languageflags, HS_MODE_BLOCK, nullptr, &db, &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return nullptr;
    }
    return database(db);
}

// Any of the strings, each byte escaped.
std::string languageof(const std::vector<std::string>& strings) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "(?:";
    for (size_t i = 0; i < strings.size(); ++i) {
        if (i) out += '|';
        for (const char c : strings[i]) {
            const auto b = static_cast<unsigned char>(c);
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out + ")";
}

}  // namespace

std::string buildprefilter(const std::vector<prefilterentry>& entries,
                           std::vector<uint32_t>& refused) {
    if (!prefilteravailable()) return "";
    std::vector<std::string> languages;
    std::vector<unsigned> ids;
    for (const prefilterentry& e : entries) {
        // Each alone first: one refused pattern would refuse them all.
        const std::string language = languageof(*e.strings);
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
    texts.reserve(languages.size());
    for (const std::string& l : languages) texts.push_back(l.c_str());
    const std::vector<unsigned> flags(texts.size(), languageflags);
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), ids.data(),
                         static_cast<unsigned>(texts.size()), HS_MODE_BLOCK, nullptr, &db,
                         &error) != HS_SUCCESS) {
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

#else

std::string buildprefilter(const std::vector<prefilterentry>& entries,
                           std::vector<uint32_t>& refused) {
    for (const prefilterentry& e : entries) refused.push_back(e.id);
    return "";
}

#endif

}  // namespace pst
