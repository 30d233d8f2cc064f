// The output of a scan: rows of four UTF-8 texts, role, text, timestamp and source.
// A missing value is the empty text. Special rows carry the role "__meta__" (Codex:
// working directory and session id) or "__title__" (Claude: session title).
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

namespace sr {

struct row_view {
    std::string_view role;
    std::string_view text;
    std::string_view timestamp;
    std::string_view source;
    unsigned char kind = 0;   // row_kind (rule_options.h); 0 for the rows of _core
    unsigned char flags = 0;  // flag_subagent
};

// The rows of one file, in line order. They are stored back to back in chunks of
// bytes (the four lengths, the kind and flags, then the four texts), so a list of many short rows costs
// little more than its text, and the rows can be handed on chunk by chunk with each
// chunk released as soon as its rows are done (see drain_rows).
struct row_list {
    struct chunk {
        std::unique_ptr<char[]> data;
        size_t used = 0;
        size_t cap = 0;
    };
    std::vector<chunk> chunks;
    size_t count = 0;
    size_t text_bytes[4] = {0, 0, 0, 0};  // the bytes of all roles, texts, timestamps, sources
};

// Appends a row; the source is `source_parts` joined by TABs.
void add_row(row_list& rows, std::string_view role, std::string_view text, std::string_view timestamp,
             std::initializer_list<std::string_view> source_parts, unsigned char kind = 0, unsigned char flags = 0);

// The header of a stored row: the four lengths, then the kind and flags.
constexpr size_t row_header_bytes = 4 * sizeof(size_t) + 8;

inline size_t size(const row_list& rows) { return rows.count; }

namespace detail {
// Calls f(row_view) for the rows of one chunk; stops early if f returns false.
template <class F>
bool for_each_row_in(const row_list::chunk& c, F&& f) {
    const char* p = c.data.get();
    const char* end = p + c.used;
    while (p < end) {
        size_t len[4];
        std::memcpy(len, p, sizeof len);
        row_view r;
        r.kind = static_cast<unsigned char>(p[sizeof len]);
        r.flags = static_cast<unsigned char>(p[sizeof len + 1]);
        p += row_header_bytes;
        r.role = {p, len[0]};
        r.text = {p += len[0], len[1]};
        r.timestamp = {p += len[1], len[2]};
        r.source = {p += len[2], len[3]};
        p += len[3];
        if (!f(r)) return false;
    }
    return true;
}
}  // namespace detail

// Calls f(row_view) for every row in order.
template <class F>
void for_each_row(const row_list& rows, F&& f) {
    for (const row_list::chunk& c : rows.chunks)
        detail::for_each_row_in(c, [&](row_view r) {
            f(r);
            return true;
        });
}

// Adds flags to rows after the fact, in place: flags_of(i) for the i-th row, in order.
template <class F>
void add_flags(row_list& rows, F&& flags_of) {
    size_t i = 0;
    for (row_list::chunk& c : rows.chunks) {
        char* p = c.data.get();
        char* end = p + c.used;
        while (p < end) {
            size_t len[4];
            std::memcpy(len, p, sizeof len);
            p[sizeof len + 1] = static_cast<char>(static_cast<unsigned char>(p[sizeof len + 1]) | flags_of(i++));
            p += row_header_bytes + len[0] + len[1] + len[2] + len[3];
        }
    }
}

// Calls f(row_view) -> bool for every row in order, releasing each chunk once its
// rows are done; stops when f returns false. The list is empty afterwards.
template <class F>
bool drain_rows(row_list& rows, F&& f) {
    bool ok = true;
    for (row_list::chunk& c : rows.chunks) {
        if (ok) ok = detail::for_each_row_in(c, f);
        c.data.reset();
    }
    rows.chunks.clear();
    rows.count = 0;
    for (size_t& n : rows.text_bytes) n = 0;
    return ok;
}

}  // namespace sr
