#include "has_kv.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sr {

namespace {

// How common a byte is in session logs (JSON with English text and code): higher
// is more common. Used to pick the two needle bytes that are searched first.
int byte_rank(unsigned char c) {
    static const char common[] = "\" e:,taoinsrlhdcu{}[]mpf_gy.bw-v0k1/x2\\jq3z45";
    if (c >= 0x80) return 1;
    const char* hit = static_cast<const char*>(std::memchr(common, c, sizeof common - 1));
    if (!hit) return 2;
    return 3 + static_cast<int>(sizeof common - (hit - common));
}

}  // namespace

needle_finder make_finder(std::string_view needle) {
    needle_finder f{std::string(needle)};
    size_t n = needle.size();
    if (n >= 2) {
        // The rarest byte, then the rarest at another offset.
        size_t a = 0;
        for (size_t i = 1; i < n; ++i)
            if (byte_rank(static_cast<unsigned char>(needle[i])) < byte_rank(static_cast<unsigned char>(needle[a])))
                a = i;
        size_t b = a == 0 ? 1 : 0;
        for (size_t i = 0; i < n; ++i)
            if (i != a &&
                byte_rank(static_cast<unsigned char>(needle[i])) < byte_rank(static_cast<unsigned char>(needle[b])))
                b = i;
        f.rare1 = a;
        f.rare2 = b;
    }
    return f;
}

needle_finder make_quoted_finder(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return make_finder(quoted);
}

const needle_finder type_key_finder = make_quoted_finder("type");

size_t find(const needle_finder& f, std::string_view hay, size_t from) {
    const std::string& needle = f.needle;
    const size_t n = needle.size();
    if (from > hay.size() || hay.size() - from < n) return std::string_view::npos;
    if (n < 2) {
        if (n == 0) return from;
        const void* hit = std::memchr(hay.data() + from, needle[0], hay.size() - from);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - hay.data()) : std::string_view::npos;
    }
    const char* p = hay.data() + from;
    const size_t last = hay.size() - from - n;  // last possible start, relative to p
    const char c1 = needle[f.rare1], c2 = needle[f.rare2];
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i v1 = _mm_set1_epi8(c1), v2 = _mm_set1_epi8(c2);
    // Starts i..i+15; the farthest byte read is p[i + 15 + max(rare)] <= p[last + n - 1].
    for (; i + 15 <= last; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + f.rare1));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + f.rare2));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2))));
        while (mask) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + at, needle.data(), n) == 0) return from + at;
            mask &= mask - 1;
        }
    }
#endif
    for (; i <= last; ++i)
        if (p[i + f.rare1] == c1 && p[i + f.rare2] == c2 && std::memcmp(p + i, needle.data(), n) == 0)
            return from + i;
    return std::string_view::npos;
}

}  // namespace sr
