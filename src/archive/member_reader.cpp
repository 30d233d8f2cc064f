#include "member_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "zstd.h"

namespace sr {

member_reader::~member_reader() {
    if (fd >= 0) ::close(fd);
    ZSTD_freeDCtx(dctx);
}

bool open_member(member_reader& m, const std::string& path, uint64_t size, error_value& err) {
    if (path.find('\0') != std::string::npos) {
        err = error_value{error_kind::invalid_input, 0, "file name contained an unexpected NUL byte"};
        return false;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err = os_error(errno);
        return false;
    }
    m.fd = fd;
    m.dctx = ZSTD_createDCtx();
    m.input_cap = ZSTD_DStreamInSize();
    m.input.reset(new char[m.input_cap]);
    if (!m.dctx) throw std::bad_alloc();
    m.size = size;
    return true;
}

namespace {

long damaged() {
    errno = EBADMSG;
    return -1;
}

long read_member(void* context, char* dst, size_t room) {
    member_reader& m = *static_cast<member_reader*>(context);
    room = static_cast<size_t>(std::min<uint64_t>(room, m.size - m.given));
    if (room == 0) return 0;
    ZSTD_outBuffer out{dst, room, 0};
    while (out.pos == 0) {
        if (m.input_pos == m.input_end && !m.input_done) {
            ssize_t got;
            do {
                got = ::read(m.fd, m.input.get(), m.input_cap);
            } while (got < 0 && errno == EINTR);
            if (got < 0) return -1;
            m.input_pos = 0;
            m.input_end = static_cast<size_t>(got);
            m.input_done = got == 0;
        }
        if (m.input_pos == m.input_end && m.input_done) return damaged();  // fewer bytes than it must give
        ZSTD_inBuffer in{m.input.get(), m.input_end, m.input_pos};
        size_t left = ZSTD_decompressStream(m.dctx, &out, &in);
        m.input_pos = in.pos;
        if (ZSTD_isError(left)) return damaged();
        m.in_frame = left != 0;
    }
    m.given += out.pos;
    return static_cast<long>(out.pos);
}

}  // namespace

byte_source member_source(member_reader& m) {
    byte_source s;
    s.read = read_member;
    s.context = &m;
    s.size = m.size;
    return s;
}

bool unpack_member(const std::string& path, uint64_t size, std::string& out, error_value& err) {
    member_reader m;
    if (!open_member(m, path, size, err)) return false;
    out.resize(static_cast<size_t>(size));
    size_t at = 0;
    while (at < out.size()) {
        long got = read_member(&m, &out[at], out.size() - at);
        if (got <= 0) {
            err = os_error(got < 0 ? errno : EBADMSG);
            out.clear();
            return false;
        }
        at += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace sr
