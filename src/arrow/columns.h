// The columns of Arrow record batches, filled from scanned rows: `job` (int32, the
// index of the job the row came from) and the four row texts `role`, `text`,
// `timestamp`, `source` (Arrow utf8: 32-bit offsets into one buffer of bytes).
// Plain C++, no Arrow or Python library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/row.h"

namespace sr {

// The most bytes one utf8 column of a batch can hold: its offsets are int32.
constexpr size_t utf8_max_bytes = 0x7fffffff;

// Bytes in one malloc'ed block that grows geometrically (realloc), without the
// zero-filling of std::vector<char>.
struct byte_buffer {
    char* data = nullptr;
    size_t size = 0;
    size_t cap = 0;

    byte_buffer() = default;
    byte_buffer(byte_buffer&& other) noexcept;
    byte_buffer& operator=(byte_buffer&& other) noexcept;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer();
};

// Room for `more` bytes after the ones held; throws std::bad_alloc.
void reserve_more(byte_buffer& b, size_t more);

struct text_column {
    std::vector<int32_t> offsets{0};  // one more than the rows; the first is 0
    byte_buffer bytes;
};

// One record batch: a row is job[i] and the i-th text of each column in `texts`
// (role, text, timestamp, source).
struct batch_columns {
    std::vector<int32_t> job;
    text_column texts[4];
};

inline size_t row_count(const batch_columns& b) { return b.job.size(); }

// Fills batches from the rows of job after job. A batch is cut before a row that
// would take any text column past max_column_bytes, so that 32-bit offsets never
// overflow; a row that alone passes that limit gets a batch of its own.
struct batch_builder {
    size_t max_column_bytes = utf8_max_bytes;  // at most utf8_max_bytes
    std::vector<batch_columns> done;           // full batches, in order
    batch_columns current;                     // the batch being filled
};

// Appends the rows of job `job` in order and empties `rows` (its memory is freed
// chunk by chunk). Throws std::length_error for a text longer than utf8_max_bytes,
// std::bad_alloc when out of memory; the builder is then not to be used further.
void add_rows(batch_builder& b, int32_t job, row_list& rows);

// The finished batches in order, the batch being filled last if it has rows; the
// builder is empty afterwards.
std::vector<batch_columns> take_batches(batch_builder& b);

}  // namespace sr
