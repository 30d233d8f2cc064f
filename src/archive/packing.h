// Packing a log for the archive while it is read: its digest, whether its start is
// still what was archived of it, and its new bytes as one zstd frame (src/archive/
// holds everything the archive does natively; the archive itself is kept by the
// package's Python).
#pragma once

#include <cstdint>
#include <string>

#include "archive/xxh64.h"
#include "scan/file_lines.h"

namespace sr {

struct pack_request {
    uint64_t from = 0;           // bytes of the log already archived
    uint64_t prefix_digest = 0;  // their XXH64
    int level = 3;               // zstd's compression level; 0: the digests only, no frame
};

struct pack_outcome {
    uint64_t bytes = 0;          // the bytes read
    uint64_t digest = 0;         // XXH64 of all of them
    bool prefix_same = true;     // the first `from` bytes are the ones archived (false: rewritten or shorter)
    std::string frame;           // bytes [from, bytes) as one zstd frame (none when prefix_same is false)
    std::string error;           // why no frame could be made, if one could not
};

// What a reading feeds as it goes. Make it, point a scan's tap at it (packer_tap),
// and finish it once the last byte has been read.
struct log_packer {
    pack_request request;
    pack_outcome out;
    xxh64_state whole = xxh64_start();
    xxh64_state prefix = xxh64_start();
    bool compressing = false;
};

void start_packing(log_packer& p, const pack_request& request);
byte_tap packer_tap(log_packer& p);
void finish_packing(log_packer& p);

// Packs a log without reading its rows.
pack_outcome pack_file(const std::string& path, const pack_request& request, error_value& err, bool& ok);

}  // namespace sr
