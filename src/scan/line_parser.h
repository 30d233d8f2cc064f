// Strict parse of one log line: exactly one JSON value, JSON whitespace around it,
// at most 127 levels of arrays and objects. Holds one parsed line at a time.
#pragma once

#include <string_view>

#include "json_value.h"

namespace sr {

constexpr int max_nesting = 127;

struct line_parser {
    yyjson_alc* alc = nullptr;  // one allocator per scan, never shared between threads
    yyjson_doc* doc = nullptr;  // the current line's document

    line_parser();
    ~line_parser();
    line_parser(const line_parser&) = delete;
    line_parser& operator=(const line_parser&) = delete;
};

// Parses a line and returns its top-level value; absent if the line is not exactly
// one JSON value or nests too deeply. Releases the previous line's value. Throws
// std::bad_alloc when the parser runs out of memory (that is no property of the
// line, so it must not pass for an unparseable one).
jv parse_line(line_parser& parser, std::string_view line);

}  // namespace sr
