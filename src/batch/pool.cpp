#include "pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace sr {

namespace {

// One run_batch call of two jobs or more, shared by its caller and the workers that
// picked it up; the last of them to let go frees it, so a worker that finds nothing
// left to claim never touches freed memory.
struct batch {
    size_t count = 0;
    std::function<void(size_t)> job;
    std::atomic<size_t> next{0};        // the next job index to claim
    std::atomic<size_t> unfinished{0};  // jobs not yet done
    std::mutex mutex;                   // guards done and failure
    std::condition_variable finished;   // the caller sleeps on this
    bool done = false;
    std::exception_ptr failure;         // the first exception a job threw
};

}  // namespace

struct pool {
    std::mutex mutex;                             // guards queue and stopping
    std::condition_variable wake;                 // idle workers sleep on this
    std::deque<std::shared_ptr<batch>> queue;     // batches with jobs maybe left, oldest first
    bool stopping = false;
    std::vector<std::thread> workers;
};

namespace {

// Claims jobs of `b` one index at a time and runs them until none is left. A job's
// exception is kept for the caller and never leaves the worker.
void work_on(batch& b) {
    for (size_t i; (i = b.next.fetch_add(1)) < b.count;) {
        try {
            b.job(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(b.mutex);
            if (!b.failure) b.failure = std::current_exception();
        }
        if (b.unfinished.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(b.mutex);
            b.done = true;
            b.finished.notify_one();
        }
    }
}

void worker_main(pool& p) {
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.wake.wait(lock, [&] { return p.stopping || !p.queue.empty(); });
        if (p.stopping) return;
        std::shared_ptr<batch> b = p.queue.front();
        lock.unlock();
        work_on(*b);
        lock.lock();
        // Every job of b is claimed now; take it off the queue unless another
        // worker already has.
        if (!p.queue.empty() && p.queue.front() == b) p.queue.pop_front();
    }
}

void stop_workers(pool& p) {
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.stopping = true;
    }
    p.wake.notify_all();
    for (std::thread& t : p.workers) t.join();
    p.workers.clear();
}

}  // namespace

pool* make_pool(size_t workers) {
    workers = std::max<size_t>(workers, 1);
    std::unique_ptr<pool> p(new pool);
    p->workers.reserve(workers);
    // Workers start with every signal blocked (a thread inherits its creator's
    // mask), so that signals meant for the process reach the threads that handle
    // them instead of a worker.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::exception_ptr failure;
    try {
        while (p->workers.size() < workers) p->workers.emplace_back(worker_main, std::ref(*p));
    } catch (const std::system_error& e) {
        failure = std::make_exception_ptr(std::system_error(e.code(), "cannot start a worker thread"));
    } catch (...) {
        failure = std::current_exception();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (failure) {
        stop_workers(*p);
        std::rethrow_exception(failure);
    }
    return p.release();
}

void stop_pool(pool* p) {
    stop_workers(*p);
    delete p;
}

size_t pool_size(const pool& p) { return p.workers.size(); }

void run_batch(pool& p, size_t count, const std::function<void(size_t)>& job) {
    if (count == 0) return;
    if (count == 1) {
        job(0);
        return;
    }
    auto b = std::make_shared<batch>();
    b->count = count;
    b->job = job;
    b->unfinished = count;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.queue.push_back(b);
    }
    p.wake.notify_all();
    std::unique_lock<std::mutex> lock(b->mutex);
    b->finished.wait(lock, [&] { return b->done; });
    if (b->failure) std::rethrow_exception(b->failure);
}

void post(pool& p, std::function<void()> task) {
    // A batch of one job that nobody waits for.
    auto b = std::make_shared<batch>();
    b->count = 1;
    b->job = [task = std::move(task)](size_t) { task(); };
    b->unfinished = 1;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.queue.push_back(std::move(b));
    }
    p.wake.notify_one();
}

}  // namespace sr
