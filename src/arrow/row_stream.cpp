#include "row_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "batch/pool.h"
#include "batch/shared_pool.h"
#include "export.h"
#include "scan/scan.h"

namespace sr {

namespace {

// A piece never holds more jobs than this, so that a list of tiny or missing files
// is still spread over the workers.
constexpr size_t max_jobs_per_piece = 1024;
// The first piece is piece_bytes / 8, each next one twice the one before, up to
// piece_bytes: the first batch comes soon and a short job list is still spread.
constexpr size_t first_piece_divisor = 8;

const char* const consumed_message =
    "this sessionrows row stream has already been consumed; call read_arrow() again for a new one";
const char* const forked_message =
    "this sessionrows row stream began reading in another process and cannot go on after a fork";

struct piece_result {
    std::vector<batch_columns> batches;
    std::vector<std::pair<size_t, std::string>> failures;
    int error = 0;  // ENOMEM or EIO when reading stopped for a fault of the machinery
    std::string error_text;
};

struct piece {
    size_t first = 0;  // jobs [first, end)
    size_t end = 0;
    bool done = false;
    piece_result result;
};

// A stand-in for the reading export once it has been released, which no live
// export can equal.
const char released_reader = 0;

}  // namespace

struct row_stream {
    std::vector<job> jobs;  // read-only once made
    stream_settings settings;
    size_t window = 1;      // pieces planned and not yet handed out, at most

    std::atomic<bool> stop{false};      // no more scans: released, failed or done
    std::atomic<pid_t> reading_pid{0};  // the process in which reading began

    std::mutex mutex;                   // guards everything below
    std::condition_variable piece_done;
    const void* reader = nullptr;       // the export that reads, once one has begun
    std::deque<piece> pieces;           // planned and not yet handed out, in job order
    size_t next_job = 0;                // the first job in no piece yet
    size_t planned = 0;                 // pieces planned so far
    size_t scanning = 0;                // pieces on the workers
    std::deque<batch_columns> ready;    // batches of the piece being handed out
    stream_phase phase = stream_phase::unread;
    int error = 0;                      // with phase failed
    std::string error_text;
    size_t jobs_done = 0;
    size_t batches = 0;
    size_t rows = 0;
    std::map<size_t, std::string> failures;
};

namespace {

void set_text(std::string& to, const char* text) noexcept {
    try {
        to = text;
    } catch (...) {
        to.clear();
    }
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

// Plans the next piece; s.mutex held. Reads the file sizes (stat) of its jobs.
piece& plan_piece(row_stream& s) {
    size_t target = s.settings.piece_bytes / first_piece_divisor;
    for (size_t i = 0; i < s.planned && target < s.settings.piece_bytes; ++i) target *= 2;
    if (target > s.settings.piece_bytes) target = s.settings.piece_bytes;
    piece p;
    p.first = s.next_job;
    uint64_t bytes = 0;
    while (s.next_job < s.jobs.size() &&
           (s.next_job == p.first || (bytes < target && s.next_job - p.first < max_jobs_per_piece))) {
        bytes += file_size(s.jobs[s.next_job].path);
        ++s.next_job;
    }
    p.end = s.next_job;
    s.pieces.push_back(std::move(p));
    ++s.planned;
    return s.pieces.back();
}

// Scans jobs [first, end) and fills their batches; stops early once s.stop is set.
piece_result scan_piece(const row_stream& s, size_t first, size_t end) noexcept {
    piece_result r;
    try {
        // All rows of the piece first, so that each column is allocated once at its
        // size and filled by one copy.
        std::vector<job_rows> scanned;
        scanned.reserve(end - first);
        for (size_t i = first; i < end && !s.stop.load(std::memory_order_relaxed); ++i) {
            scan_result one = run(s.jobs[i].kind, s.jobs[i].path, s.settings.include_tools);
            if (one.ok)
                scanned.push_back(job_rows{static_cast<int32_t>(i), std::move(one.rows)});
            else
                r.failures.emplace_back(i, std::move(one.error.message));
        }
        r.batches = build_batches(scanned, s.settings.max_column_bytes);
        return r;
    } catch (const std::bad_alloc&) {
        r = piece_result();
        r.error = ENOMEM;
        set_text(r.error_text, "out of memory while reading session logs into Arrow columns");
    } catch (const std::exception& e) {
        r = piece_result();
        r.error = EIO;
        set_text(r.error_text, e.what());
    } catch (...) {
        r = piece_result();
        r.error = EIO;
        set_text(r.error_text, "unknown failure while reading session logs");
    }
    return r;
}

// Makes the stream fail for good (s.mutex held).
void fail(row_stream& s, int error, const char* text) noexcept {
    if (s.phase == stream_phase::failed) return;
    s.phase = stream_phase::failed;
    s.error = error;
    set_text(s.error_text, text);
    s.stop = true;
    s.ready.clear();
}

// Plans pieces for the workers while the thread limit and the window allow (s.mutex
// held); they are to be posted once the mutex is let go.
void launch(row_stream& s, std::vector<piece*>& out) {
    while (s.scanning < s.settings.threads && s.pieces.size() < s.window && s.next_job < s.jobs.size() &&
           !s.stop.load(std::memory_order_relaxed)) {
        out.push_back(&plan_piece(s));
        ++s.scanning;
    }
}

void post_pieces(const std::shared_ptr<row_stream>& s, std::vector<piece*>& planned) noexcept;

// A worker's task: one piece. The task shares ownership of the stream, so the
// consumer may release it while the scan goes on.
void scan_on_worker(const std::shared_ptr<row_stream>& s, piece& p) noexcept {
    piece_result r = scan_piece(*s, p.first, p.end);
    std::vector<piece*> more;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        p.result = std::move(r);
        p.done = true;
        --s->scanning;
        try {
            launch(*s, more);
        } catch (...) {  // no memory for the plan: the pieces planned so far go ahead
        }
    }
    s->piece_done.notify_all();
    post_pieces(s, more);
}

void post_pieces(const std::shared_ptr<row_stream>& s, std::vector<piece*>& planned) noexcept {
    for (piece* p : planned) {
        try {
            post(shared_pool(), [s, p] { scan_on_worker(s, *p); });
        } catch (...) {  // never to run: the piece ends here, as a failure
            {
                std::lock_guard<std::mutex> lock(s->mutex);
                p->result = piece_result();
                p->result.error = ENOMEM;
                set_text(p->result.error_text, "cannot hand a piece of the job list to a worker thread");
                p->done = true;
                --s->scanning;
            }
            s->piece_done.notify_all();
        }
    }
    planned.clear();
}

// get_next: 0 with a batch or the end in `out`, or an errno value with `message` set.
int next_batch(const std::shared_ptr<row_stream>& sp, const void* reader, ArrowArray* out, std::string& message) {
    row_stream& s = *sp;
    const pid_t began = s.reading_pid.load();
    if (began != 0 && began != getpid()) {
        set_text(message, forked_message);
        return EINVAL;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.reader != reader) {
        if (s.reader) {
            set_text(message, consumed_message);
            return EINVAL;
        }
        s.reader = reader;
        s.phase = stream_phase::reading;
        s.reading_pid = getpid();
    }
    // Posts the pieces that the thread limit and the window allow (lock held on entry
    // and on return).
    auto refill = [&] {
        std::vector<piece*> more;
        launch(s, more);
        if (more.empty()) return;
        lock.unlock();
        post_pieces(sp, more);
        lock.lock();
    };
    try {
        for (;;) {
            if (!s.ready.empty()) {
                batch_columns b = std::move(s.ready.front());
                s.ready.pop_front();
                ++s.batches;
                s.rows += row_count(b);
                export_batch(std::move(b), out);
                return 0;
            }
            if (s.phase == stream_phase::failed) {
                message = s.error_text;
                return s.error;
            }
            if (s.phase == stream_phase::consumed || (s.pieces.empty() && s.next_job == s.jobs.size())) {
                s.phase = stream_phase::consumed;
                s.stop = true;
                out->release = nullptr;  // the end of the stream
                return 0;
            }
            if (s.settings.threads <= 1) {
                if (s.pieces.empty()) plan_piece(s);
                piece& p = s.pieces.front();
                const size_t first = p.first, end = p.end;
                lock.unlock();
                piece_result r = scan_piece(s, first, end);
                lock.lock();
                p.result = std::move(r);
                p.done = true;
            } else {
                refill();
                s.piece_done.wait(lock, [&] { return s.pieces.empty() || s.pieces.front().done; });
                if (s.pieces.empty()) {
                    fail(s, EIO, "the row stream stopped before its end");
                    continue;
                }
            }
            piece p = std::move(s.pieces.front());
            s.pieces.pop_front();
            s.jobs_done = p.end;
            for (auto& f : p.result.failures) s.failures.emplace(f.first, std::move(f.second));
            if (p.result.error) {
                fail(s, p.result.error, p.result.error_text.c_str());
                continue;
            }
            for (batch_columns& b : p.result.batches) s.ready.push_back(std::move(b));
            if (s.settings.threads > 1) refill();  // the window has room again: keep the workers busy
        }
    } catch (const std::bad_alloc&) {
        if (!lock.owns_lock()) lock.lock();
        fail(s, ENOMEM, "out of memory while handing out Arrow record batches");
    } catch (const std::exception& e) {
        if (!lock.owns_lock()) lock.lock();
        fail(s, EIO, e.what());
    }
    message = s.error_text;
    return s.error;
}

// ---- the exported ArrowArrayStream

struct stream_export {
    std::shared_ptr<row_stream> state;
    std::string message;  // the last error, for get_last_error
};

stream_export& export_of(ArrowArrayStream* stream) { return *static_cast<stream_export*>(stream->private_data); }

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_schema(out);
        return 0;
    } catch (...) {
        set_text(export_of(stream).message, "out of memory");
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    stream_export& e = export_of(stream);
    try {
        return next_batch(e.state, &e, out, e.message);
    } catch (...) {  // only the first mutex lock can throw here
        set_text(e.message, "cannot read the row stream");
        return EIO;
    }
}

const char* get_last_error(ArrowArrayStream* stream) {
    const std::string& m = export_of(stream).message;
    return m.empty() ? nullptr : m.c_str();
}

void release(ArrowArrayStream* stream) {
    auto* e = static_cast<stream_export*>(stream->private_data);
    row_stream& s = *e->state;
    if (s.reading_pid.load() == 0 || s.reading_pid.load() == getpid()) {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.reader == e) {
            s.reader = &released_reader;
            if (s.phase == stream_phase::reading) s.phase = stream_phase::released;
            s.stop = true;
            s.ready.clear();
        }
    }
    delete e;
    stream->release = nullptr;
}

}  // namespace

std::shared_ptr<row_stream> make_row_stream(std::vector<job> jobs, const stream_settings& settings) {
    auto s = std::make_shared<row_stream>();
    s->jobs = std::move(jobs);
    s->settings = settings;
    if (s->settings.piece_bytes == 0) s->settings.piece_bytes = 1;
    size_t k = s->settings.threads;
    if (k > 1) {
        size_t cores = available_processors();
        k = k < cores ? k : cores;
    }
    s->settings.threads = k < 1 ? 1 : k;
    s->window = 2 * s->settings.threads;
    return s;
}

void export_stream(const std::shared_ptr<row_stream>& stream, ArrowArrayStream* out) {
    auto e = std::make_unique<stream_export>();
    e->state = stream;
    out->get_schema = get_schema;
    out->get_next = get_next;
    out->get_last_error = get_last_error;
    out->release = release;
    out->private_data = e.release();
}

stream_status status_of(row_stream& s) {
    stream_status st;
    std::lock_guard<std::mutex> lock(s.mutex);
    st.phase = s.phase;
    st.jobs = s.jobs.size();
    st.threads = s.settings.threads;
    st.jobs_done = s.jobs_done;
    st.batches = s.batches;
    st.rows = s.rows;
    st.failures = s.failures;
    return st;
}

}  // namespace sr
