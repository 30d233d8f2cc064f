// The rows of many session logs as an Arrow C stream of record batches (see
// columns.h for the columns), in job order and within a job in line order.
//
// The jobs are read in pieces of consecutive jobs, each about `piece_bytes` of
// files (by their sizes at the time they are planned). Nothing is read before the
// consumer's first get_next. With threads == 1, each get_next scans the next piece
// on the consumer's own thread. With threads == k > 1 the pieces are scanned on the
// process-wide worker pool, at most k at a time, and the columns are filled by the
// worker that scanned the rows; at most 2k pieces are planned and not yet handed
// out (being scanned, or finished and waiting for the consumer), so a job list of
// any size streams through bounded memory. A job whose file cannot be read adds no row
// and its message to the stream's failures.
//
// One stream state can be exported any number of times (a consumer may take one
// export only to read the schema), but only one export may read batches: once one
// has called get_next, every other export's get_next fails with a message saying
// that the rows have been consumed. Releasing the reading export stops the scans in
// flight; the workers let go of the state as they finish.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "batch/job.h"
#include "c_abi.h"
#include "columns.h"

namespace sr {

struct stream_settings {
    bool include_tools = false;
    size_t threads = 1;                        // 1: on the consumer's thread
    size_t piece_bytes = size_t(8) << 20;      // the file bytes of a piece, roughly
    size_t max_column_bytes = utf8_max_bytes;  // where batches are cut (columns.h)
};

struct row_stream;  // defined in row_stream.cpp

std::shared_ptr<row_stream> make_row_stream(std::vector<job> jobs, const stream_settings& settings);

// Fills `out` with a new export of the stream; it shares ownership of the state.
// Throws std::bad_alloc (out is then untouched).
void export_stream(const std::shared_ptr<row_stream>& stream, ArrowArrayStream* out);

// unread: no batch asked for yet; reading: batches being handed out; consumed: the
// end was reached; released: the reading export was released before the end;
// failed: reading stopped on a fault of the machinery (get_next reports it).
enum class stream_phase { unread, reading, consumed, released, failed };

struct stream_status {
    stream_phase phase = stream_phase::unread;
    size_t jobs = 0;
    size_t threads = 1;     // the threads it reads on, at most (settings.threads, capped)
    size_t jobs_done = 0;   // jobs whose rows have been handed out
    size_t batches = 0;     // batches handed out
    size_t rows = 0;        // rows handed out
    std::map<size_t, std::string> failures;  // job index -> message, for the jobs handed out
};

// A snapshot, safe to take from any thread at any time. May throw std::bad_alloc.
stream_status status_of(row_stream& stream);

}  // namespace sr
