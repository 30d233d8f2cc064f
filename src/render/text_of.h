// Flattens a message content value into one plain text: strings as they are, text
// blocks by their text (or their flattened "content"), tool blocks as short markers,
// thinking blocks dropped, parts joined by line feeds.
#pragma once

#include <cstddef>
#include <string>

#include "../scan/json_value.h"
#include "json_text.h"

namespace sr {

// Characters kept of the compact JSON text of an object without "text".
constexpr size_t object_text_limit = 4000;

// Appends the flattened text of v to out; may stop once out holds stop_at bytes
// (see json_text.h). An object without "text" is kept to its first `object_limit`
// characters (no_stop: whole). A part of a type not named here and without "text"
// yields nothing, or with `unknown_parts` its strings (loose_text.h; for the parts
// reading, which never stops early). V is yy_value or sj_value.
template <class V>
void append_text_of(std::string& out, V v, size_t stop_at = no_stop, size_t object_limit = object_text_limit,
                    bool unknown_parts = false);

template <class V>
std::string text_of(V v, size_t object_limit = object_text_limit, bool unknown_parts = false) {
    std::string out;
    append_text_of(out, v, no_stop, object_limit, unknown_parts);
    return out;
}

}  // namespace sr
