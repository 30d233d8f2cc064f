// Character-level helpers for UTF-8 texts (characters are Unicode code points).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sr {

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Byte length of the first n characters of s (all of s if it has fewer).
inline size_t prefix_bytes(std::string_view s, size_t n) {
    if (s.size() <= n) return s.size();  // no character is shorter than a byte
    size_t chars = 0, i = 0;
    // Whole 8-byte words while they hold no more than the characters still wanted: a
    // byte starts a character unless its top bits are 10.
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        uint64_t continuation = w & ~(w << 1) & 0x8080808080808080ull;
        size_t starts = 8 - static_cast<size_t>(__builtin_popcountll(continuation));
        if (chars + starts > n) break;
        chars += starts;
    }
    for (; i < s.size(); ++i) {
        if (!is_continuation(static_cast<unsigned char>(s[i])) && chars++ == n) return i;
    }
    return s.size();
}

// Keeps the first n characters of s[from:], never cutting inside a character.
inline void cut_chars(std::string& s, size_t n, size_t from = 0) {
    size_t keep = prefix_bytes(std::string_view(s).substr(from), n);
    s.resize(from + keep);
}

// Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline bool is_white_space(uint32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// True if s is empty or holds only White_Space characters. s must be valid UTF-8.
inline bool is_blank(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* end = p + s.size();
    while (p < end) {
        uint32_t c = *p;
        if (c < 0x80) {
            ++p;
        } else if (c < 0xE0) {
            if (end - p < 2) return false;
            c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
            p += 2;
        } else if (c < 0xF0) {
            if (end - p < 3) return false;
            c = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            p += 3;
        } else {
            return false;  // no White_Space character lies above U+FFFF
        }
        if (!is_white_space(c)) return false;
    }
    return true;
}

// The length of the valid UTF-8 character that starts s[i], or 0 if none does
// (overlong forms, surrogates and code points past U+10FFFF are invalid).
inline size_t utf8_char_length(std::string_view s, size_t i) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    size_t left = s.size() - i;
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    if (c < 0xC2) return 0;
    if (c < 0xE0) return left >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (c < 0xF0) {
        if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return 0;
        if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] >= 0xA0)) return 0;
        return 3;
    }
    if (c < 0xF5) {
        if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3])) return 0;
        if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90)) return 0;
        return 4;
    }
    return 0;
}

// s with every byte that starts no valid UTF-8 character replaced by U+FFFD, in
// `out`; false (and `out` untouched) when s is valid UTF-8 already.
inline bool replace_invalid_utf8(std::string_view s, std::string& out) {
    size_t i = 0;
    while (i < s.size()) {
        size_t n = utf8_char_length(s, i);
        if (n == 0) break;
        i += n;
    }
    if (i == s.size()) return false;
    out.assign(s.data(), i);
    while (i < s.size()) {
        size_t n = utf8_char_length(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.data() + i, n);
            i += n;
        }
    }
    return true;
}

}  // namespace sr
