#include "json_text.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "float_text.h"

namespace sr {

namespace {

// 0: copy the byte; otherwise the character after the backslash ('u' for \u00XX).
constexpr auto escape_table = [] {
    struct table {
        char v[256] = {};
    } t;
    for (int c = 0; c < 0x20; ++c) t.v[c] = 'u';
    t.v[static_cast<unsigned char>('\b')] = 'b';
    t.v[static_cast<unsigned char>('\t')] = 't';
    t.v[static_cast<unsigned char>('\n')] = 'n';
    t.v[static_cast<unsigned char>('\f')] = 'f';
    t.v[static_cast<unsigned char>('\r')] = 'r';
    t.v[static_cast<unsigned char>('"')] = '"';
    t.v[static_cast<unsigned char>('\\')] = '\\';
    return t;
}();

// True if one of the 8 bytes at p is a control character, a quote or a backslash.
inline bool needs_escape_in(const char* p) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    uint64_t w;
    std::memcpy(&w, p, 8);
    auto has_zero_byte = [](uint64_t x) { return (x - ones) & ~x & highs; };
    uint64_t below_space = (w - ones * 0x20) & ~w & highs;  // bytes < 0x20 (ASCII-exact for bytes < 0x80)
    return below_space | has_zero_byte(w ^ (ones * '"')) | has_zero_byte(w ^ (ones * '\\'));
}

void append_uint(std::string& out, uint64_t u) {
    char buf[24];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    out.append(p, static_cast<size_t>(buf + sizeof buf - p));
}

struct style {
    const char* elem_sep;  // between array elements and object members
    const char* key_sep;   // between a key and its value
};
constexpr style compact_style{",", ":"};
constexpr style dumps_style{", ", ": "};

template <class V>
void append_number(std::string& out, V v) {
    switch (kind_of(v)) {
        case jkind::uint: append_uint(out, uint_value(v)); break;
        case jkind::sint:
            out += '-';
            append_uint(out, 0 - static_cast<uint64_t>(sint_value(v)));  // magnitude, INT64_MIN included
            break;
        default: append_float_text(out, real_value(v)); break;
    }
}

template <class V>
void append_json(std::string& out, V v, const style& st, size_t stop_at) {
    if (out.size() >= stop_at) return;
    switch (kind_of(v)) {
        case jkind::absent:
        case jkind::null: out += "null"; return;
        case jkind::boolean: out += bool_value(v) ? "true" : "false"; return;
        case jkind::uint:
        case jkind::sint:
        case jkind::real: append_number(out, v); return;
        case jkind::string: append_json_string(out, string_value(v), stop_at); return;
        case jkind::array: {
            out += '[';
            bool first = true;
            for_each_element(v, [&](V e) {
                if (out.size() >= stop_at) return;
                if (!first) out += st.elem_sep;
                first = false;
                append_json(out, e, st, stop_at);
            });
            out += ']';
            return;
        }
        case jkind::object: {
            out += '{';
            bool first = true;
            auto member = [&](member_of<V> m) {
                if (out.size() >= stop_at) return;
                if (!first) out += st.elem_sep;
                first = false;
                append_json_string(out, m.key, stop_at);
                out += st.key_sep;
                append_json(out, m.val, st, stop_at);
            };
            if (keys_are_unique(v)) {
                for_each_member(v, member);
            } else {
                std::vector<member_of<V>> members(length(v));
                size_t count = unique_members(v, members.data());
                for (size_t i = 0; i < count; ++i) member(members[i]);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view s, size_t stop_at) {
    // Escapes only ever lengthen the text, so reading up to the budget suffices.
    if (stop_at != no_stop) {
        size_t room = stop_at > out.size() ? stop_at - out.size() : 0;
        if (s.size() > room) s = s.substr(0, room);
    }
    out += '"';
    size_t run = 0;  // start of the pending run of bytes copied unchanged
    for (size_t i = 0; i < s.size(); ++i) {
        // Skip 8 bytes at a time while none of them needs an escape.
        while (i + 8 <= s.size() && !needs_escape_in(s.data() + i)) i += 8;
        if (i == s.size()) break;
        char esc = escape_table.v[static_cast<unsigned char>(s[i])];
        if (!esc) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        out += '\\';
        out += esc;
        if (esc == 'u') {
            static const char hex[] = "0123456789abcdef";
            unsigned char c = static_cast<unsigned char>(s[i]);
            out += "00";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

template <class V>
void append_compact_json(std::string& out, V v, size_t stop_at) {
    append_json(out, v, compact_style, stop_at);
}

template <class V>
void append_py_dumps(std::string& out, V v, size_t stop_at) {
    append_json(out, v, dumps_style, stop_at);
}

template <class V>
void append_py_str(std::string& out, V v, size_t stop_at) {
    switch (kind_of(v)) {
        case jkind::absent:
        case jkind::null: out += "None"; return;
        case jkind::boolean: out += bool_value(v) ? "True" : "False"; return;
        case jkind::string: {
            std::string_view s = string_value(v);
            if (stop_at != no_stop && stop_at > out.size() && s.size() > stop_at - out.size())
                s = s.substr(0, stop_at - out.size());
            else if (stop_at != no_stop && stop_at <= out.size())
                s = {};
            out += s;
            return;
        }
        default: append_compact_json(out, v, stop_at); return;
    }
}

#define SR_INSTANTIATE(V)                                                  \
    template void append_compact_json(std::string&, V, size_t);        \
    template void append_py_dumps(std::string&, V, size_t);            \
    template void append_py_str(std::string&, V, size_t);
SR_INSTANTIATE(yy_value)
SR_INSTANTIATE(sj_value)
#undef SR_INSTANTIATE

}  // namespace sr
