// XXH64, the 64-bit xxHash of Yann Collet (its published algorithm, seed 0), over
// bytes that arrive in pieces of any size: the digest of a log as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sr {

struct xxh64_state {
    uint64_t v[4];
    unsigned char pending[32];
    size_t pending_bytes = 0;
    uint64_t total = 0;
};

xxh64_state xxh64_start();
void xxh64_add(xxh64_state& s, const char* data, size_t n);
uint64_t xxh64_digest(const xxh64_state& s);  // of the bytes added so far (the state is kept)

inline uint64_t xxh64(std::string_view bytes) {
    xxh64_state s = xxh64_start();
    xxh64_add(s, bytes.data(), bytes.size());
    return xxh64_digest(s);
}

}  // namespace sr
