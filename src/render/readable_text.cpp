#include "readable_text.h"

#include <vector>

#include "json_text.h"

namespace sr {

namespace {

template <class V>
bool is_plain(V v) {
    jkind k = kind_of(v);
    return k != jkind::array && k != jkind::object;
}

template <class V>
bool all_plain(V arr) {
    bool plain = true;
    for_each_element(arr, [&](V e) { plain = plain && is_plain(e); });
    return plain;
}

template <class V>
void append_plain(std::string& out, V v) {
    switch (kind_of(v)) {
        case jkind::absent: return;
        case jkind::string: out += string_value(v); return;
        default: append_compact_json(out, v); return;  // null, booleans, numbers
    }
}

void new_line(std::string& out, int depth) {
    out += '\n';
    out.append(static_cast<size_t>(2 * depth), ' ');
}

template <class V>
void append_nested(std::string& out, V v, int depth, bool first_line_started);

template <class V>
void append_members(std::string& out, V obj, int depth, bool first_line_started) {
    auto member = [&](member_of<V> m) {
        if (first_line_started) new_line(out, depth);
        first_line_started = true;
        out += m.key;
        out += ':';
        if (is_plain(m.val) || (kind_of(m.val) == jkind::array && all_plain(m.val))) {
            if (kind_of(m.val) == jkind::array && length(m.val) == 0) return;
            out += ' ';
            append_nested(out, m.val, depth + 1, true);
        } else {
            append_nested(out, m.val, depth + 1, true);
        }
    };
    if (keys_are_unique(obj)) {
        for_each_member(obj, member);
    } else {
        std::vector<member_of<V>> members(length(obj));
        size_t count = unique_members(obj, members.data());
        for (size_t i = 0; i < count; ++i) member(members[i]);
    }
}

// Writes v; a value that takes lines of its own starts each of them with a line
// feed and the indentation of `depth` when `first_line_started`.
template <class V>
void append_nested(std::string& out, V v, int depth, bool first_line_started) {
    switch (kind_of(v)) {
        case jkind::object: append_members(out, v, depth, first_line_started); return;
        case jkind::array:
            if (all_plain(v)) {
                bool first = true;
                for_each_element(v, [&](V e) {
                    if (!first) out += ' ';
                    first = false;
                    append_plain(out, e);
                });
                return;
            }
            for_each_element(v, [&](V e) {
                if (first_line_started) new_line(out, depth);
                first_line_started = true;
                out += "- ";
                append_nested(out, e, depth + 1, false);
            });
            return;
        default: append_plain(out, v); return;
    }
}

}  // namespace

template <class V>
void append_readable(std::string& out, V v) {
    if (kind_of(v) == jkind::null) return;
    append_nested(out, v, 0, false);
}

template void append_readable(std::string&, yy_value);
template void append_readable(std::string&, sj_value);

}  // namespace sr
