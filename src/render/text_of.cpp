#include "text_of.h"

#include <algorithm>
#include <string_view>

#include "loose_text.h"
#include "utf8.h"

namespace sr {

namespace {

template <class V>
void append_text_member_or_content(std::string& out, V block, size_t stop_at, size_t object_limit,
                                   bool content_fallback, bool unknown_parts) {
    V text = get(block, "text");
    if (truthy(text)) {
        append_py_str(out, text, stop_at);
    } else if (content_fallback) {
        V content = get(block, "content");
        if (truthy(content)) append_text_of(out, content, stop_at, object_limit, unknown_parts);
    }
}

// One element of a content array; appends nothing when the element yields no part.
template <class V>
void append_block(std::string& out, V e, size_t stop_at, size_t object_limit, bool unknown_parts) {
    switch (kind_of(e)) {
        case jkind::string: append_py_str(out, e, stop_at); return;
        case jkind::object: break;
        default: append_py_str(out, e, stop_at); return;  // None, True, numbers, nested arrays
    }
    V type = get(e, "type");
    if (!is_string(type)) {
        append_text_member_or_content(out, e, stop_at, object_limit, true, unknown_parts);
        return;
    }
    std::string_view t = string_value(type);
    if (t == "text" || t == "input_text" || t == "output_text") {
        append_text_member_or_content(out, e, stop_at, object_limit, true, unknown_parts);
    } else if (t == "thinking" || t == "reasoning") {
        // dropped
    } else if (t == "tool_use") {
        out += "[tool_use:";
        V name = get(e, "name");
        if (truthy(name))
            append_py_str(out, name, stop_at);
        else
            out += "tool";
        out += ']';
    } else if (t == "tool_result") {
        out += "[tool_result]";
    } else if (unknown_parts && !truthy(get(e, "text")) && t != "image" && t != "input_image" &&
               t != "redacted_thinking") {
        // A part of a type not known here: its strings (images and redacted
        // thinking hold none a person reads).
        append_loose_text(out, e);
    } else {
        append_text_member_or_content(out, e, stop_at, object_limit, false, unknown_parts);
    }
}

}  // namespace

template <class V>
void append_text_of(std::string& out, V v, size_t stop_at, size_t object_limit, bool unknown_parts) {
    switch (kind_of(v)) {
        case jkind::absent:
        case jkind::null: return;
        case jkind::object: {
            V text = get(v, "text");
            if (is_absent(text)) {
                size_t start = out.size();
                if (object_limit == no_stop) {
                    append_compact_json(out, v, stop_at);
                } else {
                    append_compact_json(out, v, std::min(stop_at, stop_after_chars(start, object_limit)));
                    cut_chars(out, object_limit, start);
                }
            } else if (truthy(text)) {
                append_py_str(out, text, stop_at);
            }
            return;
        }
        case jkind::array: {
            bool any = false;
            for_each_element(v, [&](V e) {
                if (out.size() >= stop_at) return;
                size_t mark = out.size();
                if (any) out += '\n';
                size_t part = out.size();
                append_block(out, e, stop_at, object_limit, unknown_parts);
                if (out.size() == part)
                    out.resize(mark);  // an empty part is dropped with its separator
                else
                    any = true;
            });
            return;
        }
        default: append_py_str(out, v, stop_at); return;  // strings, booleans, numbers
    }
}

template void append_text_of(std::string&, yy_value, size_t, size_t, bool);
template void append_text_of(std::string&, sj_value, size_t, size_t, bool);

}  // namespace sr
