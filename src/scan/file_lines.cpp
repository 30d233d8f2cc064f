#include "file_lines.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace sr {

namespace {

constexpr size_t chunk_size = size_t(1) << 20;

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills buf).
[[maybe_unused]] const char* pick_message(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* pick_message(int xsi_result, const char* buf) {
    return xsi_result == 0 ? buf : "Unknown error";
}

// Replaces the buffer by one of `cap` usable bytes that starts with the first
// `keep` bytes of the old one.
void reallocate(read_buffer& buffer, size_t cap, size_t keep) {
    std::unique_ptr<char[]> bigger(new char[cap + read_padding]());
    if (keep) std::memcpy(bigger.get(), buffer.data.get(), keep);
    buffer.data = std::move(bigger);
    buffer.cap = cap;
}

}  // namespace

error_value os_error(int err) {
    char buf[256];
    buf[0] = '\0';
    const char* text = pick_message(strerror_r(err, buf, sizeof buf), buf);
    error_value e;
    e.kind = error_kind::os;
    e.os_errno = err;
    e.message = text;
    e.message += " (os error ";
    e.message += std::to_string(err);
    e.message += ')';
    return e;
}

file_lines::~file_lines() {
    if (fd >= 0) ::close(fd);
}

bool open_lines(file_lines& f, const std::string& path, error_value& err) {
    if (f.source) {
        f.unread = f.source->size;
        f.at_eof = f.unread == 0;
        size_t first = f.unread < chunk_size ? static_cast<size_t>(f.unread) : chunk_size;
        if (f.buf.cap < first || f.buf.cap == 0) reallocate(f.buf, first ? first : 1, 0);
        return true;
    }
    if (path.find('\0') != std::string::npos) {
        err = error_value{error_kind::invalid_input, 0, "file name contained an unexpected NUL byte"};
        return false;
    }
    // Non-blocking, so that a FIFO without a writer cannot hang the call.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err = os_error(errno);
        return false;
    }
    f.fd = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        err = os_error(errno);
        return false;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        err = error_value{error_kind::invalid_data, 0, "memory map length overflows isize"};
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // Directories, FIFOs, sockets and most devices cannot be mapped; report what
        // mapping them reports, and read the few that can (they measure 0 bytes).
        size_t len = size > 0 && size < SIZE_MAX ? static_cast<size_t>(size) : 1;
        void* m = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            err = os_error(errno);
            return false;
        }
        ::munmap(m, len);
    }
#ifdef POSIX_FADV_SEQUENTIAL
    if (size > 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    f.unread = size;
    f.at_eof = size == 0;
    // A small file is read in one go, a large one a chunk at a time.
    size_t first = size < chunk_size ? static_cast<size_t>(size) : chunk_size;
    if (f.buf.cap < first || f.buf.cap == 0) reallocate(f.buf, first ? first : 1, 0);
    return true;
}

namespace {

// Reads more bytes after f.end, moving the pending line to the front and growing
// the buffer when it is full. Returns false once nothing more can be read.
bool fill(file_lines& f) {
    if (f.at_eof) return false;
    char* base = f.buf.data.get();
    if (f.begin > 0) {
        size_t pending = f.end - f.begin;
        if (pending) std::memmove(base, base + f.begin, pending);
        f.end = pending;
        f.begin = 0;
    }
    if (f.end == f.buf.cap) {  // one line fills the buffer
        if (f.skipping || (f.worth_keeping && !f.worth_keeping(f.context, {base, f.end}))) {
            f.skipping = true;  // keep none of it
            f.end = 0;
            f.searched = 0;
        } else {
            reallocate(f.buf, f.buf.cap * 2, f.end);
        }
    }
    size_t room = f.buf.cap - f.end;
    if (room > f.unread) room = static_cast<size_t>(f.unread);
    ssize_t got;
    do {
        got = f.source ? f.source->read(f.source->context, f.buf.data.get() + f.end, room)
                       : ::read(f.fd, f.buf.data.get() + f.end, room);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) f.read_errno = errno;
        f.at_eof = true;
        return false;
    }
    if (got == 0) {  // the file shrank
        f.at_eof = true;
        return false;
    }
    if (f.tap.take) f.tap.take(f.tap.context, f.buf.data.get() + f.end, static_cast<size_t>(got));
    f.end += static_cast<size_t>(got);
    f.unread -= static_cast<uint64_t>(got);
    if (f.unread == 0) f.at_eof = true;
    return true;
}

}  // namespace

void trim(read_buffer& buffer) {
    if (buffer.cap > chunk_size) {
        buffer.data.reset();
        buffer.cap = 0;
    }
}

bool next_line(file_lines& f, std::string_view& line) {
    for (;;) {
        const char* base = f.buf.data.get();
        size_t from = f.begin + f.searched;
        if (from < f.end) {
            const void* nl = std::memchr(base + from, '\n', f.end - from);
            if (nl) {
                size_t at = static_cast<size_t>(static_cast<const char*>(nl) - base);
                line = std::string_view(base + f.begin, at - f.begin);
                f.begin = at + 1;
                f.searched = 0;
                if (f.skipping) {  // the end of a line that was dropped
                    f.skipping = false;
                    continue;
                }
                return true;
            }
        }
        f.searched = f.end - f.begin;
        if (!fill(f)) {
            if (f.begin == f.end || f.skipping) return false;
            line = std::string_view(f.buf.data.get() + f.begin, f.end - f.begin);  // last line, no line feed
            f.begin = f.end;
            f.searched = 0;
            return true;
        }
    }
}

}  // namespace sr
