// Independent pieces of the walk spread over the worker pool, at most a given number
// at once.
#pragma once

#include <cstddef>
#include <functional>

namespace sr {

struct pool;

struct lanes {
    pool* workers = nullptr;   // none: every piece on the calling thread
    size_t threads = 1;        // at most this many pieces at once
};

// Runs job(i) for every i in [0, count) and returns when all are done: on the calling
// thread when there is no pool or one thread, else on min(threads, count) jobs of
// the pool that claim pieces in order. The first exception a piece throws is
// rethrown here once the others are done.
void spread(const lanes& l, size_t count, const std::function<void(size_t)>& job);

}  // namespace sr
