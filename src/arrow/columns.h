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

// Bytes in one malloc'ed block, without the zero-filling of std::vector<char>.
struct byte_buffer {
    char* data = nullptr;
    size_t size = 0;

    byte_buffer() = default;
    byte_buffer(byte_buffer&& other) noexcept;
    byte_buffer& operator=(byte_buffer&& other) noexcept;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer();
};

// Exactly `size` bytes, uninitialised, replacing what was held; throws std::bad_alloc.
void allocate(byte_buffer& b, size_t size);

struct text_column {
    std::vector<int32_t> offsets;  // one more than the rows; the first is 0
    byte_buffer bytes;
};

// One record batch: a row is job[i] and the i-th text of each column in `texts`
// (role, text, timestamp, source).
struct batch_columns {
    std::vector<int32_t> job;
    text_column texts[4];
};

inline size_t row_count(const batch_columns& b) { return b.job.size(); }

// The scanned rows of one job.
struct job_rows {
    int32_t job = 0;
    row_list rows;
};

// The batches of these jobs' rows, in order, each column allocated once at its exact
// size; the row lists are emptied as they are copied (their chunks freed one by
// one). A batch is cut before a row that would take any text column past
// max_column_bytes (at most utf8_max_bytes), so that 32-bit offsets never overflow;
// a row that alone passes that limit gets a batch of its own. Throws
// std::length_error for a text longer than utf8_max_bytes, std::bad_alloc when out
// of memory.
std::vector<batch_columns> build_batches(std::vector<job_rows>& jobs, size_t max_column_bytes);

}  // namespace sr
