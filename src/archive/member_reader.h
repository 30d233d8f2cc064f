// Reading an archived copy of a log: a member of the archive is a file of zstd
// frames whose contents, one after the other, are the log's bytes. A member read
// through `member_source` gives those bytes to a scan as if they were the log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/file_lines.h"

struct ZSTD_DCtx_s;

namespace sr {

struct member_reader {
    int fd = -1;
    ZSTD_DCtx_s* dctx = nullptr;
    std::unique_ptr<char[]> input;
    size_t input_cap = 0, input_pos = 0, input_end = 0;
    bool input_done = false;
    bool in_frame = false;       // a frame has begun and not ended
    uint64_t size = 0;           // the bytes the member must give
    uint64_t given = 0;

    member_reader() = default;
    ~member_reader();
    member_reader(const member_reader&) = delete;
    member_reader& operator=(const member_reader&) = delete;
};

// Opens a member that must unpack to `size` bytes. On failure returns false and
// fills `err`.
bool open_member(member_reader& m, const std::string& path, uint64_t size, error_value& err);

// A source for file_lines. A member that is damaged (a frame that fails its
// checksum or does not decode, or fewer bytes than it must give) makes the read
// fail with EBADMSG.
byte_source member_source(member_reader& m);

// The whole of a member, checked against `size`; false with `err` on failure.
bool unpack_member(const std::string& path, uint64_t size, std::string& out, error_value& err);

}  // namespace sr
