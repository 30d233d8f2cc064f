#include "has_kv.h"

#include <cstring>

namespace sr {

needle_finder make_finder(std::string_view needle) { return needle_finder{std::string(needle)}; }

needle_finder make_quoted_finder(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return needle_finder{std::move(quoted)};
}

size_t find(const needle_finder& f, std::string_view hay, size_t from) {
    const std::string& n = f.needle;
    if (from > hay.size() || hay.size() - from < n.size()) return std::string_view::npos;
    const void* hit = memmem(hay.data() + from, hay.size() - from, n.data(), n.size());
    if (!hit) return std::string_view::npos;
    return static_cast<size_t>(static_cast<const char*>(hit) - hay.data());
}

namespace {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

constexpr std::string_view type_key = "\"type\"";

// Does the needle occurrence at index i have `"type"` [blanks] `:` [blanks] before it?
bool key_before(std::string_view line, size_t i) {
    // Walk back over blanks to the colon.
    size_t j = i;
    while (j > 0 && is_blank(line[j - 1])) --j;
    if (j == 0 || line[j - 1] != ':') return false;
    size_t colon = j - 1;
    if (colon == 0) return false;
    // Walk back over blanks to the end of the key.
    size_t e = colon;
    while (e > 0 && is_blank(line[e - 1])) --e;
    if (e < type_key.size()) return false;
    return line.compare(e - type_key.size(), type_key.size(), type_key) == 0;
}

}  // namespace

bool has_kv(std::string_view line, const needle_finder& f) {
    size_t from = 0;
    for (;;) {
        size_t i = find(f, line, from);
        if (i == std::string_view::npos) return false;
        if (i > 0 && key_before(line, i)) return true;
        from = i + 1;
    }
}

}  // namespace sr
