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

std::string text_of(jv v);

// Appends text_of(v) to out; may stop once out holds stop_at bytes (see json_text.h).
void append_text_of(std::string& out, jv v, size_t stop_at = no_stop);

}  // namespace sr
