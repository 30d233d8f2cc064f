#include "line_parser.h"

#include <new>

namespace sr {

line_parser::line_parser() : alc(yyjson_alc_dyn_new()) {}

line_parser::~line_parser() {
    if (doc) yyjson_doc_free(doc);
    if (alc) yyjson_alc_dyn_free(alc);
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

}  // namespace

jv parse_line(line_parser& parser, std::string_view line) {
    if (parser.doc) {
        yyjson_doc_free(parser.doc);
        parser.doc = nullptr;
    }
    yyjson_read_err err;
    // No flags: never in-situ, never raw numbers. The input is not modified.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(line.data()), line.size(), 0, parser.alc, &err);
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        return {};
    }
    parser.doc = doc;
    if (!nesting_within_limit(doc)) return {};
    return {yyjson_doc_get_root(doc)};
}

}  // namespace sr
