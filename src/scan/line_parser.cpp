#include "line_parser.h"

#include <cstdint>
#include <new>

#include "render/utf8.h"

namespace sr {

line_parser::line_parser() : alc(yyjson_alc_dyn_new()) {
    if (sj.allocate(4096, max_nesting) != simdjson::SUCCESS) throw std::bad_alloc();
}

line_parser::~line_parser() {
    if (doc) yyjson_doc_free(doc);
    if (alc) yyjson_alc_dyn_free(alc);
}

// Checked before yyjson builds a long line, whose values take 16 bytes each: a
// long run of brackets would otherwise cost many times the line's size before
// being refused.
bool brackets_nest_too_deep(std::string_view line) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_nesting) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

void end_scan(line_parser& parser) {
    if (parser.doc) {
        yyjson_doc_free(parser.doc);
        parser.doc = nullptr;
    }
    // The dynamic allocator keeps every chunk it got until it is freed.
    if (parser.alc) yyjson_alc_dyn_free(parser.alc);
    parser.alc = yyjson_alc_dyn_new();
}

namespace {

// yyjson lays a document out as one array of values in document order; a
// container's next sibling lies `ofs` bytes past it. Walking that array with a
// stack of container ends gives every value's depth without recursion.
bool nesting_within_limit(yyjson_doc* doc) {
    size_t count = yyjson_doc_get_val_count(doc);
    if (count <= static_cast<size_t>(max_nesting)) return true;  // too few containers to nest deeper
    yyjson_val* cur = yyjson_doc_get_root(doc);
    yyjson_val* end = cur + count;
    yyjson_val* open_ends[max_nesting];
    int depth = 0;
    for (; cur < end; ++cur) {
        while (depth > 0 && cur >= open_ends[depth - 1]) --depth;
        if (unsafe_yyjson_is_ctn(cur)) {
            if (depth == max_nesting) return false;
            open_ends[depth++] = unsafe_yyjson_get_next(cur);
        }
    }
    return true;
}

parsed_line parse_with_yyjson(line_parser& parser, std::string_view line) {
    if (line.size() > simdjson_line_limit && brackets_nest_too_deep(line)) return {};
    yyjson_read_err err;
    // No flags: never in-situ, never raw numbers. The input is not modified.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(line.data()), line.size(), 0, parser.alc, &err);
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        return {};
    }
    parser.doc = doc;
    if (!nesting_within_limit(doc)) return {};
    parsed_line parsed;
    parsed.which = parsed_line::yy;
    parsed.yy_root = yy_value{yyjson_doc_get_root(doc)};
    return parsed;
}

bool starts_with_bom(std::string_view line) { return line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0; }

// True if simdjson's tape holds an integer 0: only then can the line's -0 matter.
// Tape entries are 64-bit words with the value's type in the top byte; a number
// takes two words. The first word's low bits give the tape's length.
bool tape_holds_int_zero(const simdjson::dom::document& doc) {
    const uint64_t* tape = doc.tape.get();
    const size_t end = static_cast<size_t>(tape[0] & 0x00FFFFFFFFFFFFFFull);
    for (size_t i = 1; i < end; ++i) {
        const char type = static_cast<char>(tape[i] >> 56);
        if (type == 'l' || type == 'u' || type == 'd') {
            if (type == 'l' && tape[i + 1] == 0) return true;
            ++i;
        }
    }
    return false;
}

// True if the line may hold the number literal -0: "-0" standing between a byte
// that can precede a value and one that can follow it. Inside a string it does no
// harm (such lines just go the slower way); a UUID's "-0a" does not count.
bool has_negative_zero_literal(std::string_view line) {
    auto before_value = [](char c) { return c == ':' || c == '[' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto after_value = [](char c) { return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (size_t at = line.find("-0"); at != std::string_view::npos; at = line.find("-0", at + 1)) {
        if (at > 0 && !before_value(line[at - 1])) continue;
        if (at + 2 == line.size() || after_value(line[at + 2])) return true;
    }
    return false;
}

}  // namespace

namespace {

parsed_line parse_strictly(line_parser& parser, std::string_view line, bool padded) {
    if (line.size() <= simdjson_line_limit && !starts_with_bom(line)) {
        simdjson::dom::element root;
        auto err = parser.sj.parse(line.data(), line.size(), !padded).get(root);
        if (err == simdjson::SUCCESS) {
            if (!(tape_holds_int_zero(parser.sj.doc) && has_negative_zero_literal(line))) {
                parsed_line parsed;
                parsed.which = parsed_line::sj;
                parsed.sj_root = sj_value{root, true};
                return parsed;
            }
        } else if (err == simdjson::MEMALLOC) {
            throw std::bad_alloc();
        }
    }
    return parse_with_yyjson(parser, line);
}

}  // namespace

parsed_line parse_line(line_parser& parser, std::string_view line) {
    if (parser.doc) {
        yyjson_doc_free(parser.doc);
        parser.doc = nullptr;
    }
    parsed_line parsed = parse_strictly(parser, line, parser.input_padded);
    if (parsed.which != parsed_line::none || !parser.replace_invalid_utf8) return parsed;
    if (!replace_invalid_utf8(line, parser.repaired)) return parsed;
    if (parser.doc) {
        yyjson_doc_free(parser.doc);
        parser.doc = nullptr;
    }
    return parse_strictly(parser, parser.repaired, false);
}

parsed_line parse_line_yyjson(line_parser& parser, std::string_view line) {
    if (parser.doc) {
        yyjson_doc_free(parser.doc);
        parser.doc = nullptr;
    }
    return parse_with_yyjson(parser, line);
}

}  // namespace sr
