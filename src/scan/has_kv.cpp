#include "has_kv.h"

#include <cstdint>


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
        std::memset(f.splat1, needle[a], sizeof f.splat1);
        std::memset(f.splat2, needle[b], sizeof f.splat2);
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
    if (from > hay.size()) return std::string_view::npos;
    size_t found = std::string_view::npos;
    for_each_match(f, hay.substr(from), [&](size_t at) {
        found = from + at;
        return true;
    });
    return found;
}

}  // namespace sr
