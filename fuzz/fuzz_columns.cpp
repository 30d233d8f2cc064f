// The Arrow column building and export (src/arrow/columns.*, export.*) against the
// rows it was given.
//
// Input: two bytes for the byte limit of a text column (1 to 4096), then rows, one
// per line, each of up to four TAB-separated texts (role, text, timestamp, source;
// missing ones empty); a line that starts with '#' ends the current job. Checks:
// the batches hold exactly the rows given, in order, each with its job; offsets
// start at 0, rise and end at the column's byte count; no text column passes the
// limit unless its batch has a single row; a batch is cut only where the next row
// would have passed the limit. Each batch is then exported, and a child chosen by
// the input is moved out and released after its parent (ASan catches a leak or a
// use after free).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/columns.h"
#include "arrow/export.h"
#include "check.h"

namespace {

using namespace sr;

struct given_row {
    int32_t job;
    std::string_view texts[4];
};

std::vector<given_row> parse(std::string_view in) {
    std::vector<given_row> rows;
    int32_t job = 0;
    while (!in.empty()) {
        size_t end = in.find('\n');
        std::string_view line = in.substr(0, end);
        in = end == std::string_view::npos ? std::string_view() : in.substr(end + 1);
        if (!line.empty() && line[0] == '#') {
            ++job;
            continue;
        }
        given_row r{job, {}};
        for (int f = 0; f < 4; ++f) {
            size_t tab = f < 3 ? line.find('\t') : std::string_view::npos;
            r.texts[f] = line.substr(0, tab);
            line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        }
        rows.push_back(r);
    }
    return rows;
}

std::string_view text_at(const text_column& c, size_t i) {
    return std::string_view(c.bytes.data + c.offsets[i], static_cast<size_t>(c.offsets[i + 1] - c.offsets[i]));
}

void check_export(batch_columns&& batch, size_t child_to_move) {
    const size_t rows = row_count(batch);
    ArrowArray a;
    export_batch(std::move(batch), &a);
    FUZZ_CHECK(a.length == static_cast<int64_t>(rows) && a.n_children == 5 && a.n_buffers == 1 && a.release);
    const ArrowArray* job = a.children[0];
    FUZZ_CHECK(job->n_buffers == 2 && job->buffers[1] && job->length == a.length);
    for (int f = 1; f < 5; ++f) {
        const ArrowArray* c = a.children[f];
        FUZZ_CHECK(c->n_buffers == 3 && c->buffers[1] && c->buffers[2] && c->length == a.length);
        const int32_t* offsets = static_cast<const int32_t*>(c->buffers[1]);
        FUZZ_CHECK(offsets[0] == 0);
    }
    ArrowArray moved;
    std::memcpy(&moved, a.children[child_to_move % 5], sizeof moved);
    a.children[child_to_move % 5]->release = nullptr;
    a.release(&a);
    FUZZ_CHECK(a.release == nullptr);
    // The moved child still owns readable buffers.
    if (moved.n_buffers == 3) {
        const int32_t* offsets = static_cast<const int32_t*>(moved.buffers[1]);
        volatile char sink = 0;
        if (offsets[moved.length] > 0) sink = static_cast<const char*>(moved.buffers[2])[offsets[moved.length] - 1];
        (void)sink;
    }
    moved.release(&moved);
    FUZZ_CHECK(moved.release == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = 1 + ((data[0] | (data[1] << 8)) % 4096);
    const std::vector<given_row> given = parse(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));

    std::vector<job_rows> jobs;
    for (const given_row& r : given) {
        if (jobs.empty() || jobs.back().job != r.job) jobs.push_back(job_rows{r.job, {}});
        add_row(jobs.back().rows, r.texts[0], r.texts[1], r.texts[2], {r.texts[3]});
    }
    std::vector<batch_columns> batches = build_batches(jobs, limit);
    for (const job_rows& j : jobs) FUZZ_CHECK(sr::size(j.rows) == 0 && j.rows.chunks.empty());

    size_t next = 0;
    for (size_t b = 0; b < batches.size(); ++b) {
        const batch_columns& c = batches[b];
        const size_t n = row_count(c);
        FUZZ_CHECK(n > 0);
        for (int f = 0; f < 4; ++f) {
            const text_column& t = c.texts[f];
            FUZZ_CHECK(t.offsets.size() == n + 1 && t.offsets[0] == 0);
            for (size_t i = 0; i < n; ++i) FUZZ_CHECK(t.offsets[i] <= t.offsets[i + 1]);
            FUZZ_CHECK(static_cast<size_t>(t.offsets[n]) == t.bytes.size);
            FUZZ_CHECK(n == 1 || t.bytes.size <= limit);
        }
        for (size_t i = 0; i < n; ++i, ++next) {
            FUZZ_CHECK(next < given.size());
            FUZZ_CHECK(c.job[i] == given[next].job);
            for (int f = 0; f < 4; ++f) FUZZ_CHECK(text_at(c.texts[f], i) == given[next].texts[f]);
        }
        if (b + 1 < batches.size()) {  // cut only where the next row would have passed the limit
            bool needed = false;
            for (int f = 0; f < 4; ++f)
                needed = needed || c.texts[f].bytes.size + given[next].texts[f].size() > limit;
            FUZZ_CHECK(needed);
        }
    }
    FUZZ_CHECK(next == given.size());

    for (size_t b = 0; b < batches.size(); ++b) check_export(std::move(batches[b]), data[0] + b);

    ArrowSchema schema;
    export_schema(&schema);
    FUZZ_CHECK(schema.n_children == 5 && std::string_view(schema.format) == "+s");
    ArrowSchema moved;
    std::memcpy(&moved, schema.children[data[1] % 5], sizeof moved);
    schema.children[data[1] % 5]->release = nullptr;
    schema.release(&schema);
    moved.release(&moved);
    return 0;
}
