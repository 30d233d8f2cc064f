#include "walk/known_files.h"

#include <cstring>

namespace sr {

namespace {

constexpr uint64_t mix_factor = 0xff51afd7ed558ccdull;

// A decimal integer, optionally negative, ending exactly at `end`.
bool parse_integer(const char* p, const char* end, int64_t& out) {
    bool negative = p < end && *p == '-';
    if (negative) ++p;
    if (p == end || end - p > 19) return false;
    uint64_t value = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (value > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX))) return false;
    out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
    return true;
}

// "size mtime_ns inode", three integers separated by single spaces.
bool parse_numbers(std::string_view text, known_file& f) {
    const char* p = text.data();
    const char* end = p + text.size();
    int64_t* fields[3] = {&f.size, &f.mtime_ns, &f.inode};
    for (int i = 0; i < 3; ++i) {
        const char* stop = i < 2 ? static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p))) : end;
        if (!stop || !parse_integer(p, stop, *fields[i])) return false;
        p = stop + 1;
    }
    return true;
}

}  // namespace

uint64_t path_hash(std::string_view path) {
    const char* p = path.data();
    size_t n = path.size();
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * mix_factor;
        h ^= h >> 32;
    }
    uint64_t w = 0;
    if (n) std::memcpy(&w, p, n);  // an empty view may have no data
    h = (h ^ w) * mix_factor;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 32);
}

bool add_known(known_files& known, std::string_view blob, std::string& error) {
    size_t at = 0;
    while (at < blob.size()) {
        size_t path_end = blob.find('\0', at);
        size_t numbers_end = path_end == std::string_view::npos ? path_end : blob.find('\0', path_end + 1);
        known_file f;
        if (numbers_end == std::string_view::npos ||
            !parse_numbers(blob.substr(path_end + 1, numbers_end - path_end - 1), f)) {
            error = "a record at byte " + std::to_string(at) +
                    " is not path NUL \"size mtime_ns inode\" NUL";
            return false;
        }
        f.path = blob.substr(at, path_end - at);
        known.files.push_back(f);
        at = numbers_end + 1;
    }
    return true;
}

void index_known(known_files& known) {
    size_t capacity = 16;
    while (capacity < 2 * known.files.size()) capacity *= 2;
    known.slots.assign(capacity, 0);
    std::vector<known_file> unique;
    unique.reserve(known.files.size());
    for (known_file& f : known.files) {
        f.hash = path_hash(f.path);
        size_t mask = capacity - 1;
        size_t i = f.hash & mask;
        bool duplicate = false;
        for (; known.slots[i]; i = (i + 1) & mask) {
            const known_file& other = unique[known.slots[i] - 1];
            if (other.hash == f.hash && other.path == f.path) {
                duplicate = true;
                break;
            }
        }
        if (duplicate) continue;
        unique.push_back(f);
        known.slots[i] = static_cast<uint32_t>(unique.size());
    }
    known.files.swap(unique);
}

size_t find_known(const known_files& known, std::string_view path) {
    if (known.slots.empty()) return not_known;
    uint64_t hash = path_hash(path);
    size_t mask = known.slots.size() - 1;
    for (size_t i = hash & mask; known.slots[i]; i = (i + 1) & mask) {
        const known_file& f = known.files[known.slots[i] - 1];
        if (f.hash == hash && f.path == path) return known.slots[i] - 1;
    }
    return not_known;
}

}  // namespace sr
