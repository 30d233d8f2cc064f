#include "index_text.h"

#include <cstdint>
#include <cstring>

namespace sr {

namespace {

// Decodes the character at s[i]; returns its length (1 for a byte that starts no
// valid character, which is then taken as it is).
size_t decode(std::string_view s, size_t i, char32_t& c) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
    if (n == 0 || i + n > s.size()) {
        c = b;
        return 1;
    }
    c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n; ++k) {
        unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) {
            c = b;
            return 1;
        }
        c = (c << 6) | (t & 0x3F);
    }
    return n;
}

bool is_ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// A backslash escape written out in the text (\n, \t, \r: JSON or code shown as
// text) glued to a word: the tokenizer would read "\nHello" as the word "nHello".
bool escape_glued_at(std::string_view s, size_t i) {
    return i + 2 < s.size() && s[i] == '\\' && (s[i + 1] == 'n' || s[i + 1] == 't' || s[i + 1] == 'r') &&
           is_ascii_alnum(static_cast<unsigned char>(s[i + 2]));
}

// True if a byte in s may start something the transform changes: ESC, the first
// byte of C1 controls (0xC2), a lead byte of U+1100 and above (0xE1 and up), or a
// backslash escape glued to a word.
bool may_change(std::string_view s) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto has_byte = [&](uint64_t w, unsigned char b) {
        uint64_t x = w ^ (ones * b);
        return ((x - ones) & ~x & highs) != 0;
    };
    auto interesting = [&](size_t k) {
        return p[k] == 0x1B || p[k] == 0xC2 || p[k] >= 0xE1 || escape_glued_at(s, k);
    };
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & highs) == 0 && !has_byte(w, 0x1B) && !has_byte(w, '\\')) continue;
        for (size_t k = i; k < i + 8; ++k)
            if (interesting(k)) return true;
    }
    for (; i < n; ++i)
        if (interesting(i)) return true;
    return false;
}

// The end of the escape sequence that starts at s[i] (ESC) or at the C1 control
// CSI/OSC/DCS character of length `lead` there: CSI ends at a byte 0x40-0x7E;
// OSC, DCS, SOS, PM and APC at BEL or ST (ESC \\ or U+009C); others after one byte.
size_t sequence_end(std::string_view s, size_t i, char introducer, size_t lead) {
    size_t j = i + lead;
    if (introducer == '[') {
        while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x20 && static_cast<unsigned char>(s[j]) < 0x40)
            ++j;
        return j < s.size() && static_cast<unsigned char>(s[j]) >= 0x40 && static_cast<unsigned char>(s[j]) < 0x7F
                   ? j + 1
                   : j;
    }
    if (introducer == ']' || introducer == 'P' || introducer == 'X' || introducer == '^' || introducer == '_') {
        while (j < s.size()) {
            unsigned char b = static_cast<unsigned char>(s[j]);
            if (b == 0x07) return j + 1;
            if (b == 0x1B && j + 1 < s.size() && s[j + 1] == '\\') return j + 2;
            if (b == 0xC2 && j + 1 < s.size() && static_cast<unsigned char>(s[j + 1]) == 0x9C) return j + 2;
            if (b == '\n') return j;  // an unterminated string ends with its line
            ++j;
        }
        return j;
    }
    return j;
}

}  // namespace

bool is_cjk(char32_t c) {
    if (c < 0x1100) return false;
    return (c <= 0x11FF) ||                     // Hangul Jamo
           (c >= 0x2E80 && c <= 0x2FDF) ||      // CJK and Kangxi radicals
           (c >= 0x3005 && c <= 0x3007) ||      // 々 〆 〇
           (c >= 0x3021 && c <= 0x3029) ||      // Hangzhou numerals
           (c >= 0x3031 && c <= 0x3035) ||      // kana repeat marks
           (c >= 0x3041 && c <= 0x30FF && c != 0x30FB) ||  // Hiragana, Katakana (not the middle dot)
           (c >= 0x3105 && c <= 0x312F) ||      // Bopomofo
           (c >= 0x3131 && c <= 0x318E) ||      // Hangul compatibility Jamo
           (c >= 0x31A0 && c <= 0x31BF) ||      // Bopomofo extended
           (c >= 0x31F0 && c <= 0x31FF) ||      // Katakana phonetic extensions
           (c >= 0x3400 && c <= 0x4DBF) ||      // CJK extension A
           (c >= 0x4E00 && c <= 0x9FFF) ||      // CJK unified ideographs
           (c >= 0xA960 && c <= 0xA97F) ||      // Hangul Jamo extended A
           (c >= 0xAC00 && c <= 0xD7AF) ||      // Hangul syllables
           (c >= 0xD7B0 && c <= 0xD7FF) ||      // Hangul Jamo extended B
           (c >= 0xF900 && c <= 0xFAFF) ||      // CJK compatibility ideographs
           (c >= 0xFF66 && c <= 0xFF9F) ||      // halfwidth Katakana
           (c >= 0xFFA0 && c <= 0xFFDC) ||      // halfwidth Hangul
           (c >= 0x20000 && c <= 0x3FFFF);      // CJK extensions B and beyond
}

bool index_text(std::string_view s, std::string& out) {
    if (!may_change(s)) return false;
    out.clear();
    out.reserve(s.size() + s.size() / 4);
    bool changed = false;
    // The pending CJK run: its characters' byte offsets, written out as bigrams
    // when the run ends.
    size_t run_start = 0, run_chars = 0;
    auto end_run = [&](size_t at) {
        if (run_chars == 0) return;
        changed = true;
        out += ' ';
        if (run_chars == 1) {
            out.append(s.data() + run_start, at - run_start);
        } else {
            // Each character with the next, blank-separated.
            size_t i = run_start;
            char32_t c;
            size_t len = decode(s, i, c);
            bool first = true;
            while (i + len < at) {
                size_t next_len = decode(s, i + len, c);
                if (!first) out += ' ';
                first = false;
                out.append(s.data() + i, len + next_len);
                i += len;
                len = next_len;
            }
        }
        out += ' ';
        run_chars = 0;
    };
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b == 0x1B && i + 1 < s.size()) {
            end_run(i);
            // ESC before a character that is not ASCII starts no sequence: only the
            // ESC goes (taking the next byte too would split that character).
            i = static_cast<unsigned char>(s[i + 1]) >= 0x80 ? i + 1 : sequence_end(s, i, s[i + 1], 2);
            changed = true;
            continue;
        }
        if (b == 0xC2 && i + 1 < s.size()) {
            unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
            if (c1 >= 0x80 && c1 < 0xA0) {  // a C1 control: CSI, OSC, DCS and the rest
                end_run(i);
                char introducer = c1 == 0x9B ? '[' : c1 == 0x9D ? ']' : c1 == 0x90 ? 'P' : c1 == 0x98 ? 'X'
                                  : c1 == 0x9E ? '^' : c1 == 0x9F ? '_' : 0;
                i = sequence_end(s, i, introducer, 2);
                changed = true;
                continue;
            }
        }
        if (escape_glued_at(s, i)) {
            // Kept as it is, and the word after it once more on its own.
            end_run(i);
            size_t word = i + 2, end = word;
            while (end < s.size() && is_ascii_alnum(static_cast<unsigned char>(s[end]))) ++end;
            out.append(s.data() + i, end - i);
            out += ' ';
            out.append(s.data() + word, end - word);
            i = end;
            changed = true;
            continue;
        }
        char32_t c;
        size_t len = decode(s, i, c);
        if (is_cjk(c)) {
            if (run_chars == 0) run_start = i;
            ++run_chars;
        } else {
            end_run(i);
            out.append(s.data() + i, len);
        }
        i += len;
    }
    end_run(s.size());
    return changed;
}

}  // namespace sr
