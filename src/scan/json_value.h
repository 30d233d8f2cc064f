// Read-only access to one parsed JSON line.
//
// The rules and the renderers reach parsed values only through this header: value
// kinds, last-wins member lookup, string views, iteration and the field access
// conventions. A line is parsed by simdjson when it can take it and by yyjson
// otherwise (see line_parser.h); both give a value type with the same functions,
// and the rules and renderers are templates over it. On top of the libraries:
//   * an integer in 0..2^64-1 is the unsigned form, a negative one that fits 64
//     bits the negative form, everything else a double; the literal -0 (which
//     yyjson returns as the signed integer 0, the only literal that yields it) is
//     the float negative zero;
//   * an object keeps every member, duplicates included; a lookup takes the last
//     match, and unique_members gives each key once, at its first position, with
//     its last value.
// Strings may hold NUL bytes: always use their lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "simdjson.h"
#include "yyjson.h"

namespace sr {

enum class jkind : uint8_t { absent, null, boolean, uint, sint, real, string, array, object };

// A value of a line parsed by yyjson, or absent. Valid until the line's parser
// moves on to the next line.
struct yy_value {
    yyjson_val* p = nullptr;
};

// A value of a line parsed by simdjson, or absent. Same lifetime.
struct sj_value {
    simdjson::dom::element e{};
    bool present = false;
};

template <class V>
struct member_of {
    std::string_view key;
    V val;
};

// --- yyjson values ---

inline bool is_absent(yy_value v) { return v.p == nullptr; }

inline jkind kind_of(yy_value v) {
    if (!v.p) return jkind::absent;
    switch (unsafe_yyjson_get_tag(v.p)) {
        case YYJSON_TYPE_NULL | YYJSON_SUBTYPE_NONE: return jkind::null;
        case YYJSON_TYPE_BOOL | YYJSON_SUBTYPE_TRUE:
        case YYJSON_TYPE_BOOL | YYJSON_SUBTYPE_FALSE: return jkind::boolean;
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_UINT: return jkind::uint;
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_SINT:
            return unsafe_yyjson_get_sint(v.p) == 0 ? jkind::real : jkind::sint;
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_REAL: return jkind::real;
        case YYJSON_TYPE_STR | YYJSON_SUBTYPE_NONE:
        case YYJSON_TYPE_STR | YYJSON_SUBTYPE_NOESC: return jkind::string;
        case YYJSON_TYPE_ARR | YYJSON_SUBTYPE_NONE: return jkind::array;
        case YYJSON_TYPE_OBJ | YYJSON_SUBTYPE_NONE: return jkind::object;
        default: return jkind::null;  // raw values never occur: the reader runs without flags
    }
}

inline bool is_string(yy_value v) { return v.p && unsafe_yyjson_is_str(v.p); }
inline bool is_object(yy_value v) { return v.p && unsafe_yyjson_is_obj(v.p); }
inline bool is_array(yy_value v) { return v.p && unsafe_yyjson_is_arr(v.p); }
inline bool is_true(yy_value v) { return v.p && unsafe_yyjson_is_true(v.p); }
inline uint64_t uint_value(yy_value v) { return unsafe_yyjson_get_uint(v.p); }
inline int64_t sint_value(yy_value v) { return unsafe_yyjson_get_sint(v.p); }
inline double real_value(yy_value v) {
    if (unsafe_yyjson_is_sint(v.p)) return -0.0;  // kind_of says real only for -0
    return unsafe_yyjson_get_real(v.p);
}
inline std::string_view string_value(yy_value v) {
    return {unsafe_yyjson_get_str(v.p), unsafe_yyjson_get_len(v.p)};
}
inline size_t length(yy_value v) { return unsafe_yyjson_get_len(v.p); }

template <class F>
void for_each_element(yy_value arr, F&& f) {
    size_t n = unsafe_yyjson_get_len(arr.p);
    yyjson_val* e = unsafe_yyjson_get_first(arr.p);
    for (size_t i = 0; i < n; ++i) {
        f(yy_value{e});
        e = unsafe_yyjson_get_next(e);
    }
}

template <class F>
void for_each_member(yy_value obj, F&& f) {
    size_t n = unsafe_yyjson_get_len(obj.p);
    yyjson_val* k = unsafe_yyjson_get_first(obj.p);
    for (size_t i = 0; i < n; ++i) {
        yyjson_val* val = k + 1;
        f(member_of<yy_value>{{unsafe_yyjson_get_str(k), unsafe_yyjson_get_len(k)}, yy_value{val}});
        k = unsafe_yyjson_get_next(val);
    }
}

// --- simdjson values ---

inline bool is_absent(sj_value v) { return !v.present; }

inline jkind kind_of(sj_value v) {
    if (!v.present) return jkind::absent;
    using t = simdjson::dom::element_type;
    switch (v.e.type()) {
        case t::NULL_VALUE: return jkind::null;
        case t::BOOL: return jkind::boolean;
        case t::INT64: return v.e.get_int64().value_unsafe() < 0 ? jkind::sint : jkind::uint;
        case t::UINT64: return jkind::uint;
        case t::DOUBLE: return jkind::real;
        case t::STRING: return jkind::string;
        case t::ARRAY: return jkind::array;
        case t::OBJECT: return jkind::object;
    }
    return jkind::null;
}

inline bool is_string(sj_value v) { return v.present && v.e.is_string(); }
inline bool is_object(sj_value v) { return v.present && v.e.is_object(); }
inline bool is_array(sj_value v) { return v.present && v.e.is_array(); }
inline bool is_true(sj_value v) { return v.present && v.e.is_bool() && v.e.get_bool().value_unsafe(); }
inline uint64_t uint_value(sj_value v) {
    // simdjson keeps integers up to 2^63-1 as int64 and only larger ones as uint64.
    if (v.e.type() == simdjson::dom::element_type::INT64)
        return static_cast<uint64_t>(v.e.get_int64().value_unsafe());
    return v.e.get_uint64().value_unsafe();
}
inline int64_t sint_value(sj_value v) { return v.e.get_int64().value_unsafe(); }
inline double real_value(sj_value v) { return v.e.get_double().value_unsafe(); }
inline std::string_view string_value(sj_value v) { return v.e.get_string().value_unsafe(); }

namespace detail {
// simdjson's tape stores counts up to 0xFFFFFF; a larger container is counted.
template <class Container>
size_t count_of(const Container& c) {
    size_t n = c.size();
    if (n == 0xFFFFFF) {
        n = 0;
        for (auto it = c.begin(); it != c.end(); ++it) ++n;
    }
    return n;
}
}  // namespace detail

inline size_t length(sj_value v) {
    if (v.e.is_string()) return string_value(v).size();
    if (v.e.is_array()) return detail::count_of(v.e.get_array().value_unsafe());
    return detail::count_of(v.e.get_object().value_unsafe());
}

template <class F>
void for_each_element(sj_value arr, F&& f) {
    simdjson::dom::array elements = arr.e.get_array().value_unsafe();  // a copy: range-for must not bind a temporary's member
    for (simdjson::dom::element e : elements) f(sj_value{e, true});
}

template <class F>
void for_each_member(sj_value obj, F&& f) {
    simdjson::dom::object members = obj.e.get_object().value_unsafe();
    for (simdjson::dom::key_value_pair kv : members) f(member_of<sj_value>{kv.key, sj_value{kv.value, true}});
}

// --- the same for both ---

// The JSON literal true (the field access convention for flags).
template <class V>
bool bool_value(V v) {
    return is_true(v);
}

// The string of a field: its value if that is a JSON string, else the empty text.
template <class V>
std::string_view str_of(V v) {
    return is_string(v) ? string_value(v) : std::string_view();
}

// Looks up a key: the value of its last occurrence if v is an object that has it,
// else absent. Chains without failing: get(absent, k) is absent.
template <class V>
V get(V v, std::string_view key) {
    V found{};
    if (is_object(v))
        for_each_member(v, [&](member_of<V> m) {
            if (m.key == key) found = m.val;
        });
    return found;
}

// Looks up several keys in one pass over the members: out[i] = get(v, keys[i]).
template <class V, size_t N>
void get_many(V v, const std::string_view (&keys)[N], V (&out)[N]) {
    for (size_t j = 0; j < N; ++j) out[j] = V{};
    if (!is_object(v)) return;
    for_each_member(v, [&](member_of<V> m) {
        for (size_t j = 0; j < N; ++j)
            if (m.key == keys[j]) out[j] = m.val;
    });
}

// Python truth value: null, false, zero, and empty strings, arrays and objects are
// false; absent is false.
template <class V>
bool truthy(V v) {
    switch (kind_of(v)) {
        case jkind::absent:
        case jkind::null: return false;
        case jkind::boolean: return is_true(v);
        case jkind::uint: return uint_value(v) != 0;
        case jkind::sint: return true;  // negative, never zero
        case jkind::real: return real_value(v) != 0.0;
        case jkind::string:
        case jkind::array:
        case jkind::object: return length(v) != 0;
    }
    return false;
}

// True if no key occurs twice in the object.
template <class V>
bool keys_are_unique(V obj);

// Fills `out` (room for length(obj) entries) with each key once, at the position
// of its first occurrence and with the value of its last; returns the count.
template <class V>
size_t unique_members(V obj, member_of<V>* out);

}  // namespace sr
