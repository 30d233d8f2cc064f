// Reads a file in chunks into a buffer of its own and hands out its lines.
//
// Nothing is mapped: a file that shrinks while it is read simply ends early, where a
// shrinking mapping would kill the process with SIGBUS. The reader sees the bytes up
// to the size measured at open time, or fewer if the file shrank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sr {

// The failure of opening, measuring or reading a file.
enum class error_kind : uint8_t { os, invalid_input, invalid_data };

struct error_value {
    error_kind kind = error_kind::os;
    int os_errno = 0;
    std::string message;
};

// "<strerror text> (os error N)".
error_value os_error(int err);

// Every line handed out is followed by at least this many readable bytes (the
// JSON parser reads ahead in blocks).
constexpr size_t read_padding = 64;

// The bytes a file is read into. It may outlive the file, so that a thread reads
// file after file into the same memory.
struct read_buffer {
    std::unique_ptr<char[]> data;
    size_t cap = 0;  // usable bytes; read_padding more are allocated
};

// Frees a buffer that grew past the usual chunk size for one very long line.
void trim(read_buffer& buffer);

// Optional company for a read: another reader of the bytes as they come (a digest,
// a compressor), and another source of them than the file (an archived copy).
struct byte_tap {
    void (*take)(void* context, const char* data, size_t n) = nullptr;
    void* context = nullptr;
};

struct byte_source {
    // Reads up to `room` bytes into `dst`: their count, 0 at the end, or -1 with
    // errno set when reading fails.
    long (*read)(void* context, char* dst, size_t room) = nullptr;
    void* context = nullptr;
    uint64_t size = 0;  // the bytes it gives in all
};

struct scan_io {
    byte_tap tap;
    byte_source* source = nullptr;
};

struct file_lines {
    int fd = -1;
    uint64_t unread = 0;            // bytes left to read, up to the size measured at open
    read_buffer& buf;
    size_t begin = 0;               // start of the next line in buf
    size_t end = 0;                 // end of the bytes read into buf
    size_t searched = 0;            // bytes from begin known to hold no line feed
    bool at_eof = false;
    int read_errno = 0;             // set if reading failed part-way

    // Asked, when one line has outgrown the buffer, about the part of it read so
    // far: false means the line cannot yield anything whatever follows, and the
    // reader then skips to its end instead of holding it whole. Optional.
    bool (*worth_keeping)(const void* context, std::string_view head) = nullptr;
    const void* context = nullptr;
    bool skipping = false;          // dropping the rest of such a line
    byte_tap tap;                   // sees every byte read, in order
    byte_source* source = nullptr;  // read from here instead of the file

    explicit file_lines(read_buffer& buffer) : buf(buffer) {}
    ~file_lines();
    file_lines(const file_lines&) = delete;
    file_lines& operator=(const file_lines&) = delete;
};

// Opens and measures a file for reading (or, with f.source set, starts reading
// that). On failure returns false and fills `err`.
bool open_lines(file_lines& f, const std::string& path, error_value& err);

// The next line (line feed excluded, carriage returns kept), or false at the end.
// After false, f.read_errno tells whether the end came from a read error.
bool next_line(file_lines& f, std::string_view& line);

}  // namespace sr
