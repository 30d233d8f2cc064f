// The text of a JSON value of a shape the rules do not know (a content part of a
// new type, a payload nobody has read yet): its strings, one after another on lines
// of their own, so that what a log holds is still found and shown plainly. What is
// no text a person reads is left out: the members that name a part's type, ids,
// and opaque data (signatures, encrypted content, base64 images and files).
#pragma once

#include <string>
#include <string_view>

#include "../scan/json_value.h"

namespace sr {

// Members left out wherever they are: "type", ids ("id", "..._id", "...Id",
// "...ID"), and opaque data ("signature", "encrypted_content", "base64").
bool is_unread_key(std::string_view key);

// Strings left out: data: URLs and long runs of base64 (at least 200 bytes
// without a blank, of base64 and URL-safe base64 characters only).
bool is_opaque_string(std::string_view s);

// Appends the strings of v (not numbers, booleans or null) with a line feed between
// two of them (none before the first); an object's members in document order, each
// key once, at its first position, with its last value.
template <class V>
void append_loose_text(std::string& out, V v);

}  // namespace sr
