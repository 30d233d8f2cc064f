// Strict parse of one log line: exactly one JSON value, JSON whitespace around it,
// at most 127 levels of arrays and objects. Holds one parsed line at a time.
//
// simdjson takes every line it can; yyjson takes the rest and decides what
// simdjson refuses, so a line parses exactly when yyjson accepts it. The lines
// that go to yyjson: those simdjson rejects (integers beyond 64 bits among them,
// and some lines of exactly 127 levels: simdjson's depth limit counts an object's
// member one level deeper than the nesting rule does), those with a leading
// byte-order mark (which simdjson would skip), those holding the literal -0 (which
// simdjson cannot tell from 0), and very long ones (which would make simdjson's
// buffers many times the line's size).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json_value.h"

namespace sr {

constexpr int max_nesting = 127;

// Bytes that must be readable after a line when the parser is told its input is
// padded; otherwise simdjson works on a copy.
constexpr size_t line_padding = simdjson::SIMDJSON_PADDING;

// Lines longer than this go to yyjson.
constexpr size_t simdjson_line_limit = size_t(1) << 20;

struct line_parser {
    simdjson::dom::parser sj;   // its buffers are reused from line to line
    yyjson_alc* alc = nullptr;  // one allocator per scan, never shared between threads
    yyjson_doc* doc = nullptr;  // the current line's yyjson document
    bool input_padded = false;  // lines are followed by line_padding readable bytes
    // A line that does not parse because it holds bytes that are not UTF-8 is
    // parsed again with each of them replaced by U+FFFD (the search reading asks
    // for this; the rows of `_core` keep such lines out).
    bool replace_invalid_utf8 = false;
    std::string repaired;       // that line, while its value is in use

    line_parser();
    ~line_parser();
    line_parser(const line_parser&) = delete;
    line_parser& operator=(const line_parser&) = delete;
};

// The top-level value of a parsed line, from whichever parser took it.
struct parsed_line {
    enum { none, yy, sj } which = none;
    yy_value yy_root;
    sj_value sj_root;
};

// Parses a line; which == none if it is not exactly one JSON value or nests too
// deeply. Releases the previous line's value. Throws std::bad_alloc when a parser
// runs out of memory (that is no property of the line, so it must not pass for an
// unparseable one).
parsed_line parse_line(line_parser& parser, std::string_view line);

// The same, by yyjson alone: the reference that parse_line must agree with (used
// by the fuzz targets).
parsed_line parse_line_yyjson(line_parser& parser, std::string_view line);

// True if brackets outside strings nest deeper than max_nesting. For a valid
// line that is its nesting; an invalid line is refused anyway.
bool brackets_nest_too_deep(std::string_view line);

// Releases the last line's value and what the fallback parser holds; the
// simdjson buffers (bounded by simdjson_line_limit) are kept for the next scan.
void end_scan(line_parser& parser);

// Calls f(root) with the line's top-level value if the line parsed.
template <class F>
void with_root(const parsed_line& line, F&& f) {
    if (line.which == parsed_line::sj)
        f(line.sj_root);
    else if (line.which == parsed_line::yy)
        f(line.yy_root);
}

}  // namespace sr
