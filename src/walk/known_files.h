// What the index knows: the files it has read, each with the size, modification time
// and inode it had then, looked up by path. Built from the blobs the index hands over
// (one per shard), which it keeps pointing into: the blobs must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sr {

struct known_file {
    std::string_view path;   // in a blob, followed there by a NUL
    int64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t inode = 0;       // as SQLite stores it (an inode above 2**63 wraps around)
    uint64_t hash = 0;
    bool seen = false;       // the walk found it (set by the walk)
};

struct known_files {
    std::vector<known_file> files;   // in blob order, each path once
    std::vector<uint32_t> slots;     // open addressing: index + 1 into files, 0 when free
};

constexpr size_t not_known = static_cast<size_t>(-1);

// Adds the records of one blob: each `path NUL "size mtime_ns inode" NUL`, the
// numbers as decimal integers. A path already added keeps its first record. On a
// malformed record, returns false with `error` saying which.
bool add_known(known_files& known, std::string_view blob, std::string& error);

// Makes the lookup table; call once every blob is added.
void index_known(known_files& known);

// The place of `path` in known.files, or not_known.
size_t find_known(const known_files& known, std::string_view path);

// The hash the table uses for a path.
uint64_t path_hash(std::string_view path);

}  // namespace sr
