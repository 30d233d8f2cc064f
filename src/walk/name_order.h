// The order of names in a folder as the walk lists them: the order Python gives the
// names once decoded as os.fsdecode decodes them (UTF-8, each byte that is not part
// of a valid UTF-8 sequence taken as the lone surrogate U+DC00 + byte).
#pragma once

#include <string_view>

namespace sr {

// True if `name` is valid UTF-8 as Python's strict decoder judges it (no overlong
// forms, no surrogates, nothing above U+10FFFF).
bool is_utf8(std::string_view name);

// True if `a` sorts before `b`. The flags say whether each is valid UTF-8 (is_utf8):
// two valid names compare as bytes, which is their code point order; a name with
// undecodable bytes is compared code point by code point.
bool name_before(std::string_view a, bool a_utf8, std::string_view b, bool b_utf8);

}  // namespace sr
