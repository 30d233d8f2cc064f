// The byte-level prefilter: does a line hold `"type"`, a colon and a given quoted
// token, with only spaces and tabs between them?
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sr {

// A substring searcher for one needle, prepared once per scan and reused for every
// line. It looks first for two of the needle's rarest bytes at once, 16 positions
// at a time, and compares the whole needle only where both match.
struct needle_finder {
    std::string needle;
    size_t rare1 = 0;  // offsets into the needle of the two bytes searched first
    size_t rare2 = 0;
    alignas(16) char splat1[16] = {};  // needle[rare1] sixteen times, ready to load
    alignas(16) char splat2[16] = {};  // needle[rare2] sixteen times
};

needle_finder make_finder(std::string_view needle);

// The needle as a JSON string token: the text with its two enclosing quotes.
needle_finder make_quoted_finder(std::string_view text);

// Calls at_match(index) for each occurrence of the needle in hay, left to right,
// overlapping ones included, until at_match returns true; returns whether it did.
// One pass: the two rare bytes are compared 16 positions at a time.
template <class F>
bool for_each_match(const needle_finder& f, std::string_view hay, F&& at_match);

// Index of the first occurrence of the needle in hay at or after `from`, or npos.
size_t find(const needle_finder& f, std::string_view hay, size_t from = 0);

inline bool contains(const needle_finder& f, std::string_view hay) {
    return find(f, hay) != std::string_view::npos;
}

// Byte comparison written out: the needles are a few bytes long, and a call to
// memcmp per candidate costs more than comparing them.
inline bool same_bytes(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

inline bool starts_with(std::string_view s, const needle_finder& f) {
    return s.size() >= f.needle.size() && same_bytes(s.data(), f.needle.data(), f.needle.size());
}

// Calls value(rest) for every `"type"` in text that is followed by spaces/tabs, a
// colon and spaces/tabs, with rest = the bytes after them; stops early and returns
// true as soon as value() returns true. Purely lexical: nesting is not looked at.
//
// A needle is "the value of a type key" for has_kv exactly when some such rest
// starts with it, so several needles can be tested in one pass over a line.
template <class F>
bool for_each_type_value(std::string_view text, F&& value);

// True if some occurrence of the finder's needle in `line` is preceded by the six
// bytes "type" (with quotes), then spaces/tabs, a colon and spaces/tabs.
inline bool has_kv(std::string_view line, const needle_finder& f) {
    return for_each_type_value(line, [&](std::string_view rest) { return starts_with(rest, f); });
}

// --- implementation ---

extern const needle_finder type_key_finder;  // "type", quotes included

template <class F>
bool for_each_match(const needle_finder& f, std::string_view hay, F&& at_match) {
    const std::string& needle = f.needle;
    const size_t n = needle.size();
    if (n < 2 || hay.size() < n) {
        for (size_t at = 0; at + n <= hay.size(); ++at)
            if (same_bytes(hay.data() + at, needle.data(), n) && at_match(at)) return true;
        return false;
    }
    const char* p = hay.data();
    const size_t last = hay.size() - n;  // last possible start
    const char c1 = needle[f.rare1], c2 = needle[f.rare2];
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i v1 = _mm_load_si128(reinterpret_cast<const __m128i*>(f.splat1));
    const __m128i v2 = _mm_load_si128(reinterpret_cast<const __m128i*>(f.splat2));
    // Starts i..i+15; the farthest byte read is p[i + 15 + max(rare)] <= p[last + n - 1].
    for (; i + 15 <= last; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + f.rare1));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + f.rare2));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2))));
        while (mask) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
            if (same_bytes(p + at, needle.data(), n) && at_match(at)) return true;
            mask &= mask - 1;
        }
    }
#endif
    for (; i <= last; ++i)
        if (p[i + f.rare1] == c1 && p[i + f.rare2] == c2 && same_bytes(p + i, needle.data(), n) && at_match(i))
            return true;
    return false;
}

template <class F>
bool for_each_type_value(std::string_view text, F&& value) {
    return for_each_match(type_key_finder, text, [&](size_t at) {
        size_t i = at + 6;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == text.size() || text[i] != ':') return false;
        ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        return static_cast<bool>(value(text.substr(i)));
    });
}

}  // namespace sr
