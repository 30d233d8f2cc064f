#include "columns.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace sr {

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
    if (this != &other) {
        std::free(data);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
    }
    return *this;
}

byte_buffer::~byte_buffer() { std::free(data); }

void allocate(byte_buffer& b, size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    std::free(b.data);
    b.data = static_cast<char*>(p);
    b.size = size;
}

namespace {

// The four texts of a row in column order.
inline void texts_of(const row_view& r, std::string_view (&t)[4]) {
    t[0] = r.role;
    t[1] = r.text;
    t[2] = r.timestamp;
    t[3] = r.source;
}

// A batch to be: its rows and the bytes of each text column.
struct batch_plan {
    size_t rows = 0;
    size_t bytes[4] = {0, 0, 0, 0};
};

// Where the batches are cut, from the lengths of the rows alone.
std::vector<batch_plan> plan_batches(const std::vector<job_rows>& jobs, size_t max) {
    std::vector<batch_plan> plans(1);
    // Most often every column fits: one batch, sized from the lists' totals.
    bool fits = true;
    for (const job_rows& j : jobs) {
        plans[0].rows += size(j.rows);
        for (int f = 0; f < 4; ++f) {
            plans[0].bytes[f] += j.rows.text_bytes[f];
            fits = fits && plans[0].bytes[f] <= max;
        }
    }
    if (fits) {
        if (plans[0].rows == 0) plans.clear();
        return plans;
    }
    plans.assign(1, batch_plan());
    for (const job_rows& j : jobs)
        for_each_row(j.rows, [&](row_view r) {
            std::string_view t[4];
            texts_of(r, t);
            batch_plan* p = &plans.back();
            bool cut = false;
            for (int f = 0; f < 4; ++f) {
                if (t[f].size() > utf8_max_bytes)
                    throw std::length_error("a row text longer than 2 GiB does not fit an Arrow utf8 column");
                cut = cut || p->bytes[f] + t[f].size() > max;  // both at most 2^31 - 1
            }
            if (cut && p->rows > 0) {
                plans.emplace_back();
                p = &plans.back();
            }
            ++p->rows;
            for (int f = 0; f < 4; ++f) p->bytes[f] += t[f].size();
        });
    if (plans.back().rows == 0) plans.pop_back();
    return plans;
}

batch_columns allocate_batch(const batch_plan& plan) {
    batch_columns c;
    c.job.resize(plan.rows);
    for (int f = 0; f < 4; ++f) {
        c.texts[f].offsets.resize(plan.rows + 1);
        allocate(c.texts[f].bytes, plan.bytes[f]);
    }
    return c;
}

}  // namespace

std::vector<batch_columns> build_batches(std::vector<job_rows>& jobs, size_t max_column_bytes) {
    const size_t max = max_column_bytes < utf8_max_bytes ? max_column_bytes : utf8_max_bytes;
    const std::vector<batch_plan> plans = plan_batches(jobs, max);
    std::vector<batch_columns> batches;
    batches.reserve(plans.size());
    size_t i = 0;  // the next row of the batch being filled
    size_t filled[4] = {0, 0, 0, 0};
    for (job_rows& j : jobs)
        drain_rows(j.rows, [&](row_view r) {
            if (batches.empty() || i == plans[batches.size() - 1].rows) {
                batches.push_back(allocate_batch(plans[batches.size()]));
                i = 0;
                for (size_t& n : filled) n = 0;
            }
            batch_columns& c = batches.back();
            std::string_view t[4];
            texts_of(r, t);
            c.job[i] = j.job;
            for (int f = 0; f < 4; ++f) {
                text_column& col = c.texts[f];
                if (!t[f].empty()) std::memcpy(col.bytes.data + filled[f], t[f].data(), t[f].size());
                filled[f] += t[f].size();
                col.offsets[i + 1] = static_cast<int32_t>(filled[f]);
            }
            ++i;
            return true;
        });
    return batches;
}

}  // namespace sr
