#include "row.h"

#include <algorithm>

namespace sr {

namespace {
constexpr size_t first_chunk = size_t(16) << 10;
constexpr size_t largest_chunk = size_t(1) << 20;

char* put(char* p, std::string_view s) {
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    return p + s.size();
}
}  // namespace

void add_row(row_list& rows, std::string_view role, std::string_view text, std::string_view timestamp,
             std::initializer_list<std::string_view> source_parts, unsigned char kind, unsigned char flags) {
    size_t source_len = source_parts.size() ? source_parts.size() - 1 : 0;  // the TABs
    for (std::string_view part : source_parts) source_len += part.size();
    const size_t len[4] = {role.size(), text.size(), timestamp.size(), source_len};
    const size_t need = row_header_bytes + len[0] + len[1] + len[2] + len[3];

    if (rows.chunks.empty() || rows.chunks.back().cap - rows.chunks.back().used < need) {
        size_t cap = rows.chunks.empty() ? first_chunk : std::min(rows.chunks.back().cap * 2, largest_chunk);
        cap = std::max(cap, need);
        row_list::chunk c;
        c.data.reset(new char[cap]);
        c.cap = cap;
        rows.chunks.push_back(std::move(c));
    }
    row_list::chunk& c = rows.chunks.back();
    char* p = c.data.get() + c.used;
    std::memcpy(p, len, sizeof len);
    p[sizeof len] = static_cast<char>(kind);
    p[sizeof len + 1] = static_cast<char>(flags);
    std::memset(p + sizeof len + 2, 0, row_header_bytes - sizeof len - 2);
    p += row_header_bytes;
    p = put(put(put(p, role), text), timestamp);
    bool first = true;
    for (std::string_view part : source_parts) {
        if (!first) *p++ = '\t';
        first = false;
        p = put(p, part);
    }
    c.used += need;
    ++rows.count;
    for (int f = 0; f < 4; ++f) rows.text_bytes[f] += len[f];
}

}  // namespace sr
