// Invariants shared by the fuzz targets. A broken invariant aborts, so that
// libFuzzer saves the input as a crash.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    if (!detail.empty()) {
        size_t n = detail.size() < 400 ? detail.size() : 400;
        std::fprintf(stderr, "  text (%zu bytes, first %zu shown): %.*s\n", detail.size(), n,
                     static_cast<int>(n), detail.data());
    }
    std::abort();
}

#define FUZZ_CHECK(cond, ...) \
    do {                      \
        if (!(cond)) ::fuzz::fail(#cond, ##__VA_ARGS__); \
    } while (0)

// Strict UTF-8 as Python's decoder takes it: no overlong forms, no surrogates,
// nothing above U+10FFFF. A text that fails this would make the module's
// str conversion raise instead of returning rows.
inline bool valid_utf8(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* end = p + s.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t n;
        unsigned min;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
            min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < n) return false;
        unsigned cp = c & (0x7F >> n);
        for (size_t i = 1; i < n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += n;
    }
    return true;
}

// Code points in a valid UTF-8 text.
inline size_t char_count(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace fuzz
