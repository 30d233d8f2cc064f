// The byte-level prefilter: does a line hold `"type"`, a colon and a given quoted
// token, with only spaces and tabs between them?
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sr {

// A substring searcher for one needle, prepared once per scan and reused for
// every line.
struct needle_finder {
    std::string needle;
};

needle_finder make_finder(std::string_view needle);

// The needle as a JSON string token: the text with its two enclosing quotes.
needle_finder make_quoted_finder(std::string_view text);

// Index of the first occurrence of the needle in hay at or after `from`, or npos.
size_t find(const needle_finder& f, std::string_view hay, size_t from = 0);

inline bool contains(const needle_finder& f, std::string_view hay) {
    return find(f, hay) != std::string_view::npos;
}

// True if some occurrence of the finder's needle in `line` is preceded by the
// six bytes "type" (with quotes), then spaces/tabs, a colon and spaces/tabs.
// Purely lexical: nesting is not looked at.
bool has_kv(std::string_view line, const needle_finder& f);

}  // namespace sr
