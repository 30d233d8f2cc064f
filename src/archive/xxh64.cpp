#include "xxh64.h"

#include <algorithm>
#include <cstring>

namespace sr {

namespace {

constexpr uint64_t p1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t p2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t p3 = 0x165667B19E3779F9ull;
constexpr uint64_t p4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t p5 = 0x27D4EB2F165667C5ull;

uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t read64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];  // little-endian, on any machine
    return v;
}

uint32_t read32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t round(uint64_t acc, uint64_t input) {
    acc += input * p2;
    acc = rotl(acc, 31);
    return acc * p1;
}

uint64_t merge(uint64_t acc, uint64_t v) {
    acc ^= round(0, v);
    return acc * p1 + p4;
}

void stripe(xxh64_state& s, const unsigned char* p) {
    for (int i = 0; i < 4; ++i) s.v[i] = round(s.v[i], read64(p + 8 * i));
}

}  // namespace

xxh64_state xxh64_start() {
    xxh64_state s;
    s.v[0] = p1 + p2;
    s.v[1] = p2;
    s.v[2] = 0;
    s.v[3] = 0 - p1;
    return s;
}

void xxh64_add(xxh64_state& s, const char* data, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    s.total += n;
    if (s.pending_bytes) {
        size_t take = std::min(n, 32 - s.pending_bytes);
        std::memcpy(s.pending + s.pending_bytes, p, take);
        s.pending_bytes += take;
        p += take;
        n -= take;
        if (s.pending_bytes < 32) return;
        stripe(s, s.pending);
        s.pending_bytes = 0;
    }
    for (; n >= 32; p += 32, n -= 32) stripe(s, p);
    if (n) std::memcpy(s.pending, p, n);
    s.pending_bytes = n;
}

uint64_t xxh64_digest(const xxh64_state& s) {
    uint64_t h;
    if (s.total >= 32) {
        h = rotl(s.v[0], 1) + rotl(s.v[1], 7) + rotl(s.v[2], 12) + rotl(s.v[3], 18);
        for (int i = 0; i < 4; ++i) h = merge(h, s.v[i]);
    } else {
        h = s.v[2] + p5;
    }
    h += s.total;
    const unsigned char* p = s.pending;
    size_t n = s.pending_bytes;
    for (; n >= 8; p += 8, n -= 8) {
        h ^= round(0, read64(p));
        h = rotl(h, 27) * p1 + p4;
    }
    if (n >= 4) {
        h ^= static_cast<uint64_t>(read32(p)) * p1;
        h = rotl(h, 23) * p2 + p3;
        p += 4;
        n -= 4;
    }
    for (; n; ++p, --n) {
        h ^= *p * p5;
        h = rotl(h, 11) * p1;
    }
    h ^= h >> 33;
    h *= p2;
    h ^= h >> 29;
    h *= p3;
    h ^= h >> 32;
    return h;
}

}  // namespace sr
