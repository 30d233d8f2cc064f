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

struct file_lines {
    int fd = -1;
    uint64_t unread = 0;            // bytes left to read, up to the size measured at open
    std::unique_ptr<char[]> buf;
    size_t cap = 0;                 // size of buf
    size_t begin = 0;               // start of the next line in buf
    size_t end = 0;                 // end of the bytes read into buf
    size_t searched = 0;            // bytes from begin known to hold no line feed
    bool at_eof = false;
    int read_errno = 0;             // set if reading failed part-way

    file_lines() = default;
    ~file_lines();
    file_lines(const file_lines&) = delete;
    file_lines& operator=(const file_lines&) = delete;
};

// Opens and measures a file for reading. On failure returns false and fills `err`.
bool open_lines(file_lines& f, const std::string& path, error_value& err);

// The next line (line feed excluded, carriage returns kept), or false at the end.
// After false, f.read_errno tells whether the end came from a read error.
bool next_line(file_lines& f, std::string_view& line);

}  // namespace sr
