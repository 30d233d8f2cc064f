#include "columns.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace sr {

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      size(std::exchange(other.size, 0)),
      cap(std::exchange(other.cap, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
    if (this != &other) {
        std::free(data);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
        cap = std::exchange(other.cap, 0);
    }
    return *this;
}

byte_buffer::~byte_buffer() { std::free(data); }

void reserve_more(byte_buffer& b, size_t more) {
    if (b.cap - b.size >= more) return;
    size_t cap = b.cap < 4096 ? 4096 : b.cap * 2;
    if (cap - b.size < more) cap = b.size + more;
    void* grown = std::realloc(b.data, cap);
    if (!grown) throw std::bad_alloc();
    b.data = static_cast<char*>(grown);
    b.cap = cap;
}

namespace {

// The four texts of a row as the columns take them.
inline void texts_of(const row_view& r, std::string_view (&t)[4]) {
    t[0] = r.role;
    t[1] = r.text;
    t[2] = r.timestamp;
    t[3] = r.source;
}

inline void append(text_column& c, std::string_view s) {
    byte_buffer& b = c.bytes;
    if (!s.empty()) std::memcpy(b.data + b.size, s.data(), s.size());
    b.size += s.size();
    c.offsets.push_back(static_cast<int32_t>(b.size));
}

// Starts a new batch when a row of these lengths would take the current one past the
// limit (and the current one has rows).
void cut_if_needed(batch_builder& b, const size_t (&len)[4]) {
    if (row_count(b.current) == 0) return;
    for (int f = 0; f < 4; ++f)
        if (b.current.texts[f].bytes.size + len[f] > b.max_column_bytes) {  // both at most 2^31 - 1
            b.done.push_back(std::move(b.current));
            b.current = batch_columns();
            return;
        }
}

}  // namespace

void add_rows(batch_builder& b, int32_t job, row_list& rows) {
    const size_t max = b.max_column_bytes < utf8_max_bytes ? b.max_column_bytes : utf8_max_bytes;
    b.max_column_bytes = max;
    drain_rows(rows, [&](row_view r) {
        std::string_view t[4];
        texts_of(r, t);
        size_t len[4];
        for (int f = 0; f < 4; ++f) {
            len[f] = t[f].size();
            if (len[f] > utf8_max_bytes)
                throw std::length_error("a row text longer than 2 GiB does not fit an Arrow utf8 column");
        }
        cut_if_needed(b, len);
        batch_columns& c = b.current;
        for (int f = 0; f < 4; ++f) reserve_more(c.texts[f].bytes, len[f]);
        c.job.push_back(job);
        for (int f = 0; f < 4; ++f) append(c.texts[f], t[f]);
        return true;
    });
}

std::vector<batch_columns> take_batches(batch_builder& b) {
    if (row_count(b.current) > 0) {
        b.done.push_back(std::move(b.current));
        b.current = batch_columns();
    }
    return std::exchange(b.done, {});
}

}  // namespace sr
