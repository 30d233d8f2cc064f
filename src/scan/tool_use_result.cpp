#include "tool_use_result.h"

#include <cstdint>
#include <vector>

#include "../render/loose_text.h"
#include "../render/utf8.h"

namespace sr {

namespace {

// A word: a run of ASCII letters and digits and of characters beyond ASCII other
// than punctuation and symbols (the blocks of general punctuation, arrows, math,
// technical and box drawing signs, CJK punctuation, emoji: an arrow such as the one
// before each line of a Read result is no part of a word), compared in ASCII lower
// case, as a 64-bit FNV-1a hash.
bool word_code_point(uint32_t c) {
    if (c < 0x80) {
        uint32_t lower = c | 0x20;
        return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'z');
    }
    return !(c < 0xC0 || (c >= 0x2000 && c <= 0x2BFF) || (c >= 0x3000 && c <= 0x303F) ||
             (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFF00 && c <= 0xFF0F) || c >= 0x1F000);
}

// The code point at s[i] and its length in bytes (a byte that starts no valid
// sequence counts as a code point of its own, U+FFFD).
uint32_t code_point_at(std::string_view s, size_t i, size_t& len) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        len = 1;
        return c;
    }
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) {
        len = 1;
        return 0xFFFD;
    }
    uint32_t cp = c & (0x3F >> (n - 1));
    for (size_t k = 1; k < n; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            len = 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    len = n;
    return cp;
}

// Calls f(hash) for each word of s until f returns false.
template <class F>
void for_each_word(std::string_view s, F&& f) {
    static const struct ascii_table {
        bool word[128];
        ascii_table() : word() {
            for (int c = 0; c < 128; ++c) word[c] = word_code_point(static_cast<uint32_t>(c));
        }
    } ascii;
    auto is_word = [&](size_t i, size_t& len) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            len = 1;
            return ascii.word[c];
        }
        return word_code_point(code_point_at(s, i, len));
    };
    size_t i = 0, n = s.size(), len = 0;
    while (i < n) {
        while (i < n && !is_word(i, len)) i += len;
        if (i == n) return;
        uint64_t h = 0xCBF29CE484222325ull;
        while (i < n && is_word(i, len)) {
            for (size_t k = 0; k < len; ++k, ++i) {
                unsigned char c = static_cast<unsigned char>(s[i]);
                if (c >= 'A' && c <= 'Z') c |= 0x20;
                h = (h ^ c) * 0x100000001B3ull;
            }
        }
        if (!f(h)) return;
    }
}

// A set of word hashes, open addressing in a power-of-two table (0 marks a free
// slot; the hash 0 is stored as 1). A tool's output is often a whole file, so the
// set is filled with tens of thousands of words on many lines: a node per word
// would cost more than the rest of the reading.
struct word_set {
    std::vector<uint64_t> slots;
    size_t used = 0;

    void reserve(size_t words) {
        size_t cap = 64;
        while (cap < 2 * words) cap *= 2;
        if (cap > slots.size()) rehash(cap);
    }
    void rehash(size_t cap) {
        std::vector<uint64_t> old;
        old.swap(slots);
        slots.assign(cap, 0);
        used = 0;
        for (uint64_t h : old)
            if (h) insert(h);
    }
    void insert(uint64_t h) {
        if (h == 0) h = 1;
        if (2 * (used + 1) > slots.size()) rehash(slots.empty() ? 64 : 2 * slots.size());
        size_t mask = slots.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            if (slots[i] == h) return;
            if (slots[i] == 0) {
                slots[i] = h;
                ++used;
                return;
            }
        }
    }
    bool contains(uint64_t h) const {
        if (h == 0) h = 1;
        if (slots.empty()) return false;
        size_t mask = slots.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            if (slots[i] == h) return true;
            if (slots[i] == 0) return false;
        }
    }
};

struct unheld {
    std::string_view row, call_input;
    word_set words;        // of the row, the call's input and what was taken
    bool counted = false;  // the words of the row and the input are in
    std::string extra;

    // Is s in the row, line by line? Each of its lines found in the row after the
    // one before (the row starts with s, or holds it with something around each
    // line, as a Read result numbers the lines of a file). Linear in the row.
    bool lines_in_row(std::string_view s) const {
        if (row.substr(0, s.size()) == s) return true;
        size_t pos = 0;
        while (!s.empty()) {
            size_t end = s.find('\n');
            std::string_view line = s.substr(0, end);
            s = end == std::string_view::npos ? std::string_view() : s.substr(end + 1);
            // Without the blanks around it: a search for a line of code that starts
            // with its indentation would stop at every blank of the row.
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
                line.remove_suffix(1);
            if (line.empty()) continue;
            size_t at = row.find(line, pos);
            if (at == std::string_view::npos) return false;
            pos = at + line.size();
        }
        return true;
    }

    void count(std::string_view s) {
        for_each_word(s, [&](uint64_t h) {
            words.insert(h);
            return true;
        });
    }

    bool is_held(std::string_view s) {
        // A failed call's account is "Error: " and what the tool result says.
        constexpr std::string_view error = "Error: ";
        if (s.substr(0, error.size()) == error) s.remove_prefix(error.size());
        if (is_blank(s) || is_opaque_string(s) || lines_in_row(s) || call_input.find(s) != std::string_view::npos)
            return true;
        if (!counted) {
            words.reserve((row.size() + call_input.size()) / 6);  // about a word in six bytes
            count(row);
            count(call_input);
            counted = true;
        }
        bool all = true;
        for_each_word(s, [&](uint64_t h) { return all = words.contains(h); });
        return all;
    }

    void take(std::string_view s) {
        if (is_blank(s) || is_opaque_string(s)) return;
        if (!extra.empty()) extra += '\n';
        extra += s;
        if (counted) count(s);
    }
};

template <class V>
bool all_strings(V arr) {
    bool all = length(arr) != 0;
    for_each_element(arr, [&](V e) { all = all && is_string(e); });
    return all;
}

template <class V>
void walk(unheld& u, V v) {
    switch (kind_of(v)) {
        case jkind::string:
            if (!u.is_held(string_value(v))) u.take(string_value(v));
            return;
        case jkind::array:
            if (all_strings(v)) {
                bool wanted = false;
                for_each_element(v, [&](V e) { wanted = wanted || !u.is_held(string_value(e)); });
                if (wanted) for_each_element(v, [&](V e) { u.take(string_value(e)); });
                return;
            }
            for_each_element(v, [&](V e) { walk(u, e); });
            return;
        case jkind::object: {
            auto member = [&](member_of<V> m) {
                if (!is_unread_key(m.key) && !is_result_bookkeeping(m.key)) walk(u, m.val);
            };
            if (keys_are_unique(v)) {
                for_each_member(v, member);
            } else {
                std::vector<member_of<V>> members(length(v));
                size_t count = unique_members(v, members.data());
                for (size_t i = 0; i < count; ++i) member(members[i]);
            }
            return;
        }
        default: return;
    }
}

}  // namespace

bool is_result_bookkeeping(std::string_view key) {
    return key == "originalFile" || key == "originalFileContents" || key == "oldTodos" || key == "usage" ||
           key == "status" || key == "mode" || key == "retrieval_status" || key == "codeText";
}

template <class V>
void append_unheld_text(std::string& row, V result, std::string_view call_input) {
    unheld u;
    u.row = row;
    u.call_input = call_input;
    walk(u, result);
    if (u.extra.empty()) return;
    if (!row.empty()) row += "\n\n";
    row += u.extra;
}

template void append_unheld_text(std::string&, yy_value, std::string_view);
template void append_unheld_text(std::string&, sj_value, std::string_view);

}  // namespace sr
