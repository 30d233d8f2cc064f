#include "walk/name_order.h"

#include <cstdint>

namespace sr {

namespace {

// The length of the valid UTF-8 sequence at p (before end), or 0 if none starts there.
size_t sequence_at(const unsigned char* p, const unsigned char* end) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;   // no overlong forms
        if (c == 0xED) hi = 0x9F;   // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;   // no overlong forms
        if (c == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < n || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

// The code point at p as os.fsdecode gives it; advances p.
uint32_t next_code(const unsigned char*& p, const unsigned char* end) {
    size_t n = sequence_at(p, end);
    uint32_t c = p[0];
    if (n == 0) {
        ++p;
        return 0xDC00 + c;
    }
    if (n > 1) {
        c &= 0x7F >> n;
        for (size_t i = 1; i < n; ++i) c = (c << 6) | (p[i] & 0x3F);
    }
    p += n;
    return c;
}

}  // namespace

bool is_utf8(std::string_view name) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        size_t n = sequence_at(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

bool name_before(std::string_view a, bool a_utf8, std::string_view b, bool b_utf8) {
    if (a_utf8 && b_utf8) return a < b;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a.data());
    const unsigned char* p_end = p + a.size();
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b.data());
    const unsigned char* q_end = q + b.size();
    while (p < p_end && q < q_end) {
        uint32_t x = next_code(p, p_end), y = next_code(q, q_end);
        if (x != y) return x < y;
    }
    return p == p_end && q < q_end;
}

}  // namespace sr
