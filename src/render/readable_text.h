// JSON values written for a person to read and for a search to find: strings as
// they are (no quotes, no escapes), an object's members as "key: value" lines, an
// array of plain values as those values joined by blanks (a command's words), other
// arrays one element per line after "- ". Nested objects and lists are indented by
// two blanks a level. Members come in document order, each key once, at its first
// position, with its last value.
#pragma once

#include <string>

#include "../scan/json_value.h"

namespace sr {

template <class V>
void append_readable(std::string& out, V v);

template <class V>
std::string readable_text(V v) {
    std::string out;
    append_readable(out, v);
    return out;
}

}  // namespace sr
