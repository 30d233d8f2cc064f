// JSON values written back as text, in three styles:
//   compact_json  JSON with no blanks between tokens;
//   py_dumps      JSON with the separators of Python's json.dumps (", " and ": "),
//                 non-ASCII characters kept as they are;
//   py_str        Python's str() of the decoded value for None, booleans and strings,
//                 the compact JSON text for everything else.
// Object members come in document order, each key once, at its first position,
// with its last value. All of them are pure and never fail.
//
// The append_ forms may stop writing once `out` holds `stop_at` bytes or more; a
// caller that keeps only the first n characters written after position p passes
// stop_at >= p + 4n (no character is longer than 4 bytes).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "../scan/json_value.h"

namespace sr {

constexpr size_t no_stop = static_cast<size_t>(-1);

void append_json_string(std::string& out, std::string_view s, size_t stop_at = no_stop);

// V is yy_value or sj_value (json_value.h).
template <class V>
void append_compact_json(std::string& out, V v, size_t stop_at = no_stop);
template <class V>
void append_py_dumps(std::string& out, V v, size_t stop_at = no_stop);
template <class V>
void append_py_str(std::string& out, V v, size_t stop_at = no_stop);

template <class V>
std::string compact_json(V v) {
    std::string out;
    append_compact_json(out, v);
    return out;
}

template <class V>
std::string py_dumps(V v) {
    std::string out;
    append_py_dumps(out, v);
    return out;
}

template <class V>
std::string py_str(V v) {
    std::string out;
    append_py_str(out, v);
    return out;
}

// A budget of n characters written from position `from` on.
inline size_t stop_after_chars(size_t from, size_t n) { return from + 4 * n; }

}  // namespace sr
