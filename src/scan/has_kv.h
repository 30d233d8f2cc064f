// The byte-level prefilter: does a line hold `"type"`, a colon and a given quoted
// token, with only spaces and tabs between them?
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace sr {

// A substring searcher for one needle, prepared once per scan and reused for every
// line. It looks first for two of the needle's rarest bytes at once, 16 positions
// at a time, and compares the whole needle only where both match.
struct needle_finder {
    std::string needle;
    size_t rare1 = 0;  // offsets into the needle of the two bytes searched first
    size_t rare2 = 0;
};

needle_finder make_finder(std::string_view needle);

// The needle as a JSON string token: the text with its two enclosing quotes.
needle_finder make_quoted_finder(std::string_view text);

// Index of the first occurrence of the needle in hay at or after `from`, or npos.
size_t find(const needle_finder& f, std::string_view hay, size_t from = 0);

inline bool contains(const needle_finder& f, std::string_view hay) {
    return find(f, hay) != std::string_view::npos;
}

inline bool starts_with(std::string_view s, const needle_finder& f) {
    return s.size() >= f.needle.size() && std::memcmp(s.data(), f.needle.data(), f.needle.size()) == 0;
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
bool for_each_type_value(std::string_view text, F&& value) {
    size_t from = 0;
    for (;;) {
        size_t at = find(type_key_finder, text, from);
        if (at == std::string_view::npos) return false;
        size_t i = at + 6;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i < text.size() && text[i] == ':') {
            ++i;
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
            if (value(text.substr(i))) return true;
        }
        from = at + 1;
    }
}

}  // namespace sr
