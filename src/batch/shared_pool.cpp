#include "shared_pool.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <mutex>
#include <system_error>

namespace sr {

namespace {

std::mutex creation_mutex;  // guards current and fork_handlers_set
pool* current = nullptr;    // this process's pool, or none yet
bool fork_handlers_set = false;

// fork() runs these around itself. Holding creation_mutex across the fork means no
// thread can be half-way through making a pool at that moment, and the child gets
// the mutex back unlocked. The child has none of the parent's threads, so the old
// pool's workers are gone and its mutex may be held by one of them forever: the
// child abandons that pool (leaks it, never uses or frees it) and makes its own on
// first use.
void before_fork() { creation_mutex.lock(); }
void after_fork_in_parent() { creation_mutex.unlock(); }
void after_fork_in_child() {
    current = nullptr;
    creation_mutex.unlock();
}

}  // namespace

size_t available_processors() {
    // The affinity mask may be wider than a cpu_set_t on very large machines:
    // grow the set until the kernel takes it.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return 1;
        size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        int rc = sched_getaffinity(0, size, set);
        int err = errno;
        int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<size_t>(count) : 1;
        if (err != EINVAL) return 1;
    }
    return 1;
}

pool& shared_pool() {
    std::lock_guard<std::mutex> lock(creation_mutex);
    if (!fork_handlers_set) {
        int rc = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot set up the worker pool");
        fork_handlers_set = true;
    }
    if (!current) current = make_pool(available_processors());
    return *current;
}

}  // namespace sr
