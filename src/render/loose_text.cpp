#include "loose_text.h"

#include <vector>

namespace sr {

namespace {

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool is_base64_byte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=' || c == '-' || c == '_';
}

// Writes the strings of v; a line feed goes before each one but the first written
// after position `start`.
template <class V>
void walk(std::string& out, V v, size_t start) {
    switch (kind_of(v)) {
        case jkind::string: {
            std::string_view s = string_value(v);
            if (s.empty() || is_opaque_string(s)) return;
            if (out.size() > start) out += '\n';
            out += s;
            return;
        }
        case jkind::array: for_each_element(v, [&](V e) { walk(out, e, start); }); return;
        case jkind::object: {
            auto member = [&](member_of<V> m) {
                if (!is_unread_key(m.key)) walk(out, m.val, start);
            };
            if (keys_are_unique(v)) {
                for_each_member(v, member);
            } else {
                std::vector<member_of<V>> members(length(v));
                size_t count = unique_members(v, members.data());
                for (size_t i = 0; i < count; ++i) member(members[i]);
            }
            return;
        }
        default: return;
    }
}

}  // namespace

bool is_unread_key(std::string_view key) {
    return key == "type" || key == "id" || ends_with(key, "_id") || (key.size() > 2 && ends_with(key, "Id")) ||
           (key.size() > 2 && ends_with(key, "ID")) || key == "signature" || key == "encrypted_content" ||
           key == "base64";
}

bool is_opaque_string(std::string_view s) {
    if (s.substr(0, 5) == "data:" && s.find(";base64,") != std::string_view::npos) return true;
    if (s.size() < 200) return false;
    for (unsigned char c : s)
        if (!is_base64_byte(c)) return false;
    return true;
}

template <class V>
void append_loose_text(std::string& out, V v) {
    walk(out, v, out.size());
}

template void append_loose_text(std::string&, yy_value);
template void append_loose_text(std::string&, sj_value);

}  // namespace sr
