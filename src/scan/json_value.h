// Read-only access to one parsed JSON line.
//
// The rules and the renderers reach parsed values only through this header: value
// kinds, last-wins member lookup, string views, iteration and the field access
// conventions. The parser behind it is yyjson; the project's own rules on top of
// the library's are applied here:
//   * the literal -0 (which yyjson returns as the signed integer 0, the only
//     literal that yields that subtype) is the float negative zero;
//   * an object keeps every member, duplicates included; a lookup takes the last
//     match, and `for_each_unique_member` visits each key once, at its first
//     position, with its last value.
// Strings may hold NUL bytes: always use their lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "yyjson.h"

namespace sr {

enum class jkind : uint8_t { absent, null, boolean, uint, sint, real, string, array, object };

// A view of one value of a parsed line, or absent. Valid until the line's parser
// moves on to the next line.
struct jv {
    yyjson_val* p = nullptr;
};

inline bool is_absent(jv v) { return v.p == nullptr; }

inline jkind kind_of(jv v) {
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

inline bool is_string(jv v) { return v.p && unsafe_yyjson_is_str(v.p); }
inline bool is_object(jv v) { return v.p && unsafe_yyjson_is_obj(v.p); }
inline bool is_array(jv v) { return v.p && unsafe_yyjson_is_arr(v.p); }

// The JSON literal true (the field access convention for flags).
inline bool is_true(jv v) { return v.p && unsafe_yyjson_is_true(v.p); }
inline bool bool_value(jv v) { return is_true(v); }
inline uint64_t uint_value(jv v) { return unsafe_yyjson_get_uint(v.p); }
inline int64_t sint_value(jv v) { return unsafe_yyjson_get_sint(v.p); }
inline double real_value(jv v) {
    if (unsafe_yyjson_is_sint(v.p)) return -0.0;  // kind_of says real only for -0
    return unsafe_yyjson_get_real(v.p);
}

// The bytes of a string value; call only when kind_of(v) is string.
inline std::string_view string_value(jv v) {
    return {unsafe_yyjson_get_str(v.p), unsafe_yyjson_get_len(v.p)};
}

// The string of a field: its value if that is a JSON string, else the empty text.
inline std::string_view str_of(jv v) { return is_string(v) ? string_value(v) : std::string_view(); }

// Element count of an array, member count (duplicates included) of an object.
inline size_t length(jv v) { return unsafe_yyjson_get_len(v.p); }

namespace detail {
inline bool key_is(yyjson_val* key, std::string_view name) {
    return unsafe_yyjson_get_len(key) == name.size() &&
           std::memcmp(unsafe_yyjson_get_str(key), name.data(), name.size()) == 0;
}
}  // namespace detail

// Looks up a key: the value of its last occurrence if v is an object that has it,
// else absent. Chains without failing: get(absent, k) is absent.
inline jv get(jv v, std::string_view key) {
    if (!is_object(v)) return {};
    size_t n = unsafe_yyjson_get_len(v.p);
    yyjson_val* k = unsafe_yyjson_get_first(v.p);
    yyjson_val* found = nullptr;
    for (size_t i = 0; i < n; ++i) {
        yyjson_val* val = k + 1;
        if (detail::key_is(k, key)) found = val;
        k = unsafe_yyjson_get_next(val);
    }
    return {found};
}

// Looks up several keys in one pass over the members: out[i] = get(v, keys[i]).
template <size_t N>
void get_many(jv v, const std::string_view (&keys)[N], jv (&out)[N]) {
    for (size_t j = 0; j < N; ++j) out[j] = jv{};
    if (!is_object(v)) return;
    size_t n = unsafe_yyjson_get_len(v.p);
    yyjson_val* k = unsafe_yyjson_get_first(v.p);
    for (size_t i = 0; i < n; ++i) {
        yyjson_val* val = k + 1;
        for (size_t j = 0; j < N; ++j)
            if (detail::key_is(k, keys[j])) out[j] = jv{val};
        k = unsafe_yyjson_get_next(val);
    }
}

// Python truth value: null, false, zero, and empty strings, arrays and objects are
// false; absent is false.
inline bool truthy(jv v) {
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

// Calls f(jv element) for each element of an array, in order.
template <class F>
void for_each_element(jv arr, F&& f) {
    size_t n = unsafe_yyjson_get_len(arr.p);
    yyjson_val* e = unsafe_yyjson_get_first(arr.p);
    for (size_t i = 0; i < n; ++i) {
        f(jv{e});
        e = unsafe_yyjson_get_next(e);
    }
}

// Object members as (key, value) pairs in document order.
struct member_ref {
    std::string_view key;
    jv val;
};

// True if no key occurs twice in the object.
bool keys_are_unique(jv obj);

// Fills `out` (room for length(obj) entries) with each key once, at the position
// of its first occurrence and with the value of its last; returns the count.
size_t unique_members(jv obj, member_ref* out);

// Calls f(member_ref) for each member of an object in document order, every
// member, duplicates included.
template <class F>
void for_each_member(jv obj, F&& f) {
    size_t n = unsafe_yyjson_get_len(obj.p);
    yyjson_val* k = unsafe_yyjson_get_first(obj.p);
    for (size_t i = 0; i < n; ++i) {
        yyjson_val* val = k + 1;
        f(member_ref{{unsafe_yyjson_get_str(k), unsafe_yyjson_get_len(k)}, jv{val}});
        k = unsafe_yyjson_get_next(val);
    }
}

}  // namespace sr
