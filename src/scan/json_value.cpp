#include "json_value.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace sr {

namespace {
// Up to this many members, duplicates are found by comparing every pair.
constexpr size_t small_object = 16;
}  // namespace

template <class V>
bool keys_are_unique(V obj) {
    size_t n = length(obj);
    if (n < 2) return true;
    if (n <= small_object) {
        std::string_view keys[small_object];
        size_t i = 0;
        for_each_member(obj, [&](member_of<V> m) { keys[i++] = m.key; });
        for (size_t a = 1; a < n; ++a)
            for (size_t b = 0; b < a; ++b)
                if (keys[a] == keys[b]) return false;
        return true;
    }
    std::unordered_set<std::string_view> seen;
    seen.reserve(n);
    bool unique = true;
    for_each_member(obj, [&](member_of<V> m) { unique = seen.insert(m.key).second && unique; });
    return unique;
}

template <class V>
size_t unique_members(V obj, member_of<V>* out) {
    std::unordered_map<std::string_view, size_t> slot;  // key -> index in out
    slot.reserve(length(obj));
    size_t count = 0;
    for_each_member(obj, [&](member_of<V> m) {
        auto [it, inserted] = slot.try_emplace(m.key, count);
        if (inserted)
            out[count++] = m;
        else
            out[it->second].val = m.val;
    });
    return count;
}

template bool keys_are_unique(yy_value);
template bool keys_are_unique(sj_value);
template size_t unique_members(yy_value, member_of<yy_value>*);
template size_t unique_members(sj_value, member_of<sj_value>*);

}  // namespace sr
