#include "walk/spread.h"

#include <algorithm>
#include <atomic>

#include "batch/pool.h"

namespace sr {

void spread(const lanes& l, size_t count, const std::function<void(size_t)>& job) {
    size_t n = std::min(l.threads, count);
    if (!l.workers || n <= 1) {
        for (size_t i = 0; i < count; ++i) job(i);
        return;
    }
    std::atomic<size_t> next{0};
    run_batch(*l.workers, n, [&](size_t) {
        for (size_t i; (i = next.fetch_add(1)) < count;) job(i);
    });
}

}  // namespace sr
