// Folding text to lower or upper case, as lcstrdup and ucstrdup do.
#pragma once

#include <cstddef>

namespace pst {

// lcstrdup and ucstrdup for a text whose length is known; exhausted memory
// is thrown (memoryexhausted) to the evaluation's entry.
char* lcstrndup(const char* s, size_t len);
char* ucstrndup(const char* s, size_t len);

}  // namespace pst
