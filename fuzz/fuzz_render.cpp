// The renderers on parsed values: the input is parsed as one log line, and every
// value that parses is written out by compact_json, py_str, py_dumps and text_of,
// in full and with the early-stop budgets that the rules use before a cut.
//
// Checks: the parser accepts exactly the single JSON values of at most 127 levels,
// and simdjson's values render exactly as yyjson's do for the same line;
// every string it hands out and every rendering is valid UTF-8; compact_json and
// py_dumps re-parse to the same value; an early-stopped rendering cut to n
// characters equals the full rendering cut to n characters; cut_chars keeps a
// prefix of exactly min(n, length) characters; is_blank agrees with a plain
// code-point check.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "render/json_text.h"
#include "render/text_of.h"
#include "render/utf8.h"
#include "scan/line_parser.h"

namespace {

using namespace sr;

bool accepted_by_yyjson(std::string_view s) {
    yyjson_doc* doc = yyjson_read(s.data(), s.size(), 0);
    if (!doc) return false;
    yyjson_doc_free(doc);
    return true;
}

// Blank by decoding every code point (reference for is_blank).
bool blank_reference(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (!is_white_space(cp)) return false;
        i += n;
    }
    return true;
}

template <class V>
void check_strings(V v, int depth) {
    FUZZ_CHECK(depth <= max_nesting);
    switch (kind_of(v)) {
        case jkind::string: {
            std::string_view s = string_value(v);
            FUZZ_CHECK(fuzz::valid_utf8(s), s);
            FUZZ_CHECK(is_blank(s) == blank_reference(s), s);
            return;
        }
        case jkind::array: for_each_element(v, [&](V e) { check_strings(e, depth + 1); }); return;
        case jkind::object:
            for_each_member(v, [&](member_of<V> m) {
                FUZZ_CHECK(fuzz::valid_utf8(m.key), m.key);
                check_strings(m.val, depth + 1);
            });
            return;
        default: return;
    }
}

void check_cut(const std::string& full, size_t n) {
    std::string cut = full;
    cut_chars(cut, n);
    FUZZ_CHECK(full.compare(0, cut.size(), cut) == 0, cut);
    size_t total = fuzz::char_count(full);
    FUZZ_CHECK(fuzz::char_count(cut) == (n < total ? n : total), cut);
    FUZZ_CHECK(fuzz::valid_utf8(cut), cut);
}

// What the rules do: write after some earlier text with a budget of n characters,
// then cut to n characters; it must equal cutting the full rendering.
template <class V>
void check_budget(void (*append)(std::string&, V, size_t), V v, const std::string& full, size_t n) {
    static const std::string before = "[tool_use x\xc3\xa9] ";
    std::string out = before;
    append(out, v, stop_after_chars(before.size(), n));
    cut_chars(out, n, before.size());
    std::string expected = full;
    cut_chars(expected, n);
    FUZZ_CHECK(out.size() == before.size() + expected.size() &&
                   out.compare(before.size(), std::string::npos, expected) == 0,
               out);
}

line_parser& first_parser() {
    static line_parser p;
    return p;
}

line_parser& second_parser() {
    static line_parser p;
    return p;
}

// All renderings of one parsed value.
struct renderings {
    std::string compact, dumps, str, text;
};

template <class V>
renderings check_value(V v, size_t size) {
    check_strings(v, 1);
    renderings r{compact_json(v), py_dumps(v), py_str(v), text_of(v)};
    for (const std::string* s : {&r.compact, &r.dumps, &r.str, &r.text}) FUZZ_CHECK(fuzz::valid_utf8(*s), *s);

    // Both JSON renderings read back as the value that compact_json wrote.
    for (const std::string* s : {&r.compact, &r.dumps}) {
        parsed_line again = parse_line(second_parser(), *s);
        FUZZ_CHECK(again.which != parsed_line::none, *s);
        with_root(again, [&](auto w) { FUZZ_CHECK(compact_json(w) == r.compact, *s); });
    }

    switch (kind_of(v)) {
        case jkind::null: FUZZ_CHECK(r.str == "None" && r.text.empty()); break;
        case jkind::boolean: FUZZ_CHECK(r.str == (is_true(v) ? "True" : "False") && r.text == r.str); break;
        case jkind::string: FUZZ_CHECK(r.str == string_value(v) && r.text == r.str); break;
        case jkind::object:
            FUZZ_CHECK(r.str == r.compact);
            if (is_absent(get(v, "text"))) {
                std::string cut = r.compact;
                cut_chars(cut, object_text_limit);
                FUZZ_CHECK(r.text == cut, r.text);
            }
            break;
        default: FUZZ_CHECK(r.str == r.compact); break;
    }

    // Budgets: the rules' limits, small ones, and one taken from the input.
    const size_t limits[] = {0, 1, 2, 3, 7, 400, 500, 600, 800, size % 97};
    for (size_t n : limits) {
        check_budget<V>(append_compact_json, v, r.compact, n);
        check_budget<V>(append_py_dumps, v, r.dumps, n);
        check_budget<V>(append_py_str, v, r.str, n);
        check_budget<V>(+[](std::string& o, V x, size_t stop) { append_text_of(o, x, stop); }, v, r.text, n);
        check_cut(r.compact, n);
        check_cut(r.text, n);
    }
    return r;
}

line_parser& reference_parser() {
    static line_parser p;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    parsed_line parsed = parse_line(first_parser(), line);
    parsed_line reference = parse_line_yyjson(reference_parser(), line);
    bool library_ok = accepted_by_yyjson(line);
    FUZZ_CHECK((parsed.which == parsed_line::none) == (reference.which == parsed_line::none), line);
    if (parsed.which == parsed_line::none) {
        FUZZ_CHECK(!library_ok || brackets_nest_too_deep(line), line);
        return 0;
    }
    FUZZ_CHECK(library_ok && !brackets_nest_too_deep(line), line);
    renderings got, want;
    with_root(parsed, [&](auto v) { got = check_value(v, size); });
    with_root(reference, [&](auto v) { want = check_value(v, size); });
    FUZZ_CHECK(got.compact == want.compact && got.dumps == want.dumps && got.str == want.str && got.text == want.text,
               line);
    return 0;
}
