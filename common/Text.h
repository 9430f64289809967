// Text helpers. Standard library only.
#pragma once

#include <cctype>
#include <cstddef>

namespace zen {

// Case-insensitive comparison of the settings' words: -1, 0 or 1, bytes
// compared as signed 8-bit values after folding A-Z. Kept out of the global
// namespace so that no library call of strcasecmp ever reaches it.
inline int strcasecmp(const char* a, const char* b)
{
    for (std::size_t i = 0;; ++i) {
        // Bytes as signed 8-bit values, as the comparison has always been.
        auto fold = [](char c) {
            return static_cast<signed char>(std::tolower(static_cast<signed char>(c)));
        };
        signed char ca = fold(a[i]);
        signed char cb = fold(b[i]);
        if (ca == 0 && cb == 0)
            return 0;
        if (ca != cb)
            return ca > cb ? 1 : -1;
    }
}

} // namespace zen
