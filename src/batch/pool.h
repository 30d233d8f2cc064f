// A pool of worker threads that runs batches of independent jobs. Plain C++: no
// Python in here, so it can be driven and stress-tested from a C++ harness alone.
#pragma once

#include <cstddef>
#include <functional>

namespace sr {

struct pool;  // defined in pool.cpp

// Starts a pool of `workers` threads (at least one). If a thread cannot be started,
// the threads already started are stopped and joined, and std::system_error is
// thrown.
pool* make_pool(size_t workers);

// Stops and joins the workers and frees the pool. Only for a pool that has no batch
// running; the process-wide pool is never stopped.
void stop_pool(pool* p);

size_t pool_size(const pool& p);

// Runs job(i) for every i in [0, count) and returns when all are done. One job runs
// on the calling thread; more are spread over the workers while the caller sleeps.
// Each job must only touch state of its own index. If jobs throw, every other job
// still runs, then the first exception caught is rethrown here.
void run_batch(pool& p, size_t count, const std::function<void(size_t)>& job);

// Queues task() to run once on a worker and returns at once, without waiting for
// it. The task must not throw (what it throws is dropped) and must own, or share
// ownership of, everything it touches. Throws std::bad_alloc.
void post(pool& p, std::function<void()> task);

}  // namespace sr
