#include "packing.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "zstd.h"

namespace sr {

namespace {

// One compression context per thread, reused from log to log.
struct cctx_holder {
    ZSTD_CCtx* c = nullptr;
    ~cctx_holder() { ZSTD_freeCCtx(c); }
};

ZSTD_CCtx* thread_cctx() {
    static thread_local cctx_holder h;
    if (!h.c) {
        h.c = ZSTD_createCCtx();
        if (!h.c) throw std::bad_alloc();
    }
    return h.c;
}

void fail(log_packer& p, size_t code) {
    p.compressing = false;
    p.out.frame.clear();
    p.out.error = ZSTD_getErrorName(code);
}

// Compresses `n` more bytes (or, with `last`, ends the frame) into the frame.
void compress(log_packer& p, const char* data, size_t n, bool last) {
    ZSTD_CCtx* c = thread_cctx();
    ZSTD_inBuffer in{data, n, 0};
    for (;;) {
        std::string& frame = p.out.frame;
        size_t before = frame.size();
        frame.resize(before + std::max<size_t>(ZSTD_compressBound(n - in.pos), ZSTD_CStreamOutSize()));
        ZSTD_outBuffer out{&frame[before], frame.size() - before, 0};
        size_t left = ZSTD_compressStream2(c, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue);
        frame.resize(before + out.pos);
        if (ZSTD_isError(left)) {
            fail(p, left);
            return;
        }
        if (last ? left == 0 : in.pos == in.size) return;
    }
}

void begin_frame(log_packer& p) {
    ZSTD_CCtx* c = thread_cctx();
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    size_t r = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, p.request.level);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    if (ZSTD_isError(r)) {
        fail(p, r);
        return;
    }
    p.compressing = true;
}

void take(void* context, const char* data, size_t n) {
    log_packer& p = *static_cast<log_packer*>(context);
    uint64_t at = p.out.bytes;
    p.out.bytes += n;
    xxh64_add(p.whole, data, n);
    if (at < p.request.from) {
        size_t before = static_cast<size_t>(std::min<uint64_t>(n, p.request.from - at));
        xxh64_add(p.prefix, data, before);
        data += before;
        n -= before;
        at += before;
        if (at < p.request.from) return;
        p.out.prefix_same = xxh64_digest(p.prefix) == p.request.prefix_digest;
        if (p.out.prefix_same && p.request.level > 0) begin_frame(p);
    }
    if (p.compressing && n) compress(p, data, n, false);
}

}  // namespace

void start_packing(log_packer& p, const pack_request& request) {
    p = log_packer();
    p.request = request;
    if (request.from == 0 && request.level > 0) begin_frame(p);
}

byte_tap packer_tap(log_packer& p) {
    byte_tap t;
    t.take = take;
    t.context = &p;
    return t;
}

void finish_packing(log_packer& p) {
    p.out.digest = xxh64_digest(p.whole);
    if (p.out.bytes < p.request.from) p.out.prefix_same = false;  // the log is shorter than what was archived
    if (p.compressing) {
        if (p.out.bytes > p.request.from)
            compress(p, nullptr, 0, true);
        else
            p.out.frame.clear();  // nothing new
        p.compressing = false;
    }
    if (!p.out.prefix_same) p.out.frame.clear();
    p.out.frame.shrink_to_fit();  // it grew by whole chunks' bounds; a batch holds many of them
}

pack_outcome pack_file(const std::string& path, const pack_request& request, error_value& err, bool& ok) {
    static thread_local read_buffer buffer;
    log_packer p;
    start_packing(p, request);
    file_lines file(buffer);
    file.tap = packer_tap(p);
    ok = false;
    if (!open_lines(file, path, err)) return p.out;
    // The lines are not wanted: the reader reads chunk after chunk of the file.
    file.worth_keeping = [](const void*, std::string_view) { return false; };
    std::string_view line;
    while (next_line(file, line)) {
    }
    trim(buffer);
    if (file.read_errno) {
        err = os_error(file.read_errno);
        return p.out;
    }
    finish_packing(p);
    ok = true;
    return p.out;
}

}  // namespace sr
