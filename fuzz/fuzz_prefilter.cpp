// The byte-level prefilter against plain reference code: find() (SIMD rare-byte
// search) against std::string_view::find, and has_kv (one pass over the "type"
// keys of a line) against the documented walk back from each needle occurrence.
//
// Input: the first byte picks the needle length, the next bytes are the needle
// text, the rest is the line.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "scan/has_kv.h"

namespace {

using namespace sr;

bool blank(char c) { return c == ' ' || c == '\t'; }

// has_kv as documented: for each occurrence i of the needle, walk back over
// blanks to a colon that is not the first byte, then over blanks again; the six
// bytes before that point must be the quoted token of "type".
bool has_kv_reference(std::string_view line, std::string_view needle) {
    size_t start = 0;
    for (;;) {
        if (line.size() < start || line.size() - start < needle.size()) return false;
        size_t i = line.find(needle, start);
        if (i == std::string_view::npos) return false;
        bool ok = false;
        if (i > 0) {
            size_t j = i;
            while (j > 0 && blank(line[j - 1])) --j;
            if (j > 0 && line[j - 1] == ':' && j - 1 > 0) {
                size_t e = j - 1;
                while (e > 0 && blank(line[e - 1])) --e;
                ok = e >= 6 && line.substr(e - 6, 6) == "\"type\"";
            }
        }
        if (ok) return true;
        start = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t needle_len = data[0] % 24;
    if (needle_len > input.size()) needle_len = input.size();
    std::string_view text = input.substr(0, needle_len);
    std::string_view line = input.substr(needle_len);

    // Plain search, from the first start positions and the last ones (where the
    // SIMD loop hands over to the byte loop), and past the end.
    needle_finder plain = make_finder(text);
    for (size_t from = 0; from <= line.size() + 1; ++from) {
        if (from == 40 && line.size() > 80) from = line.size() - 40;
        size_t expected = from <= line.size() ? line.find(text, from) : std::string_view::npos;
        FUZZ_CHECK(find(plain, line, from) == expected, line);
    }

    // has_kv with the needle as a quoted token (all production needles are), and
    // with the tokens the rules use.
    static const needle_finder production[] = {
        make_quoted_finder("user"),          make_quoted_finder("assistant"),
        make_quoted_finder("ai-title"),      make_quoted_finder("response_item"),
        make_quoted_finder("event_msg"),     make_quoted_finder("session_meta"),
        make_quoted_finder("message"),
    };
    needle_finder quoted = make_quoted_finder(text);
    FUZZ_CHECK(has_kv(line, quoted) == has_kv_reference(line, quoted.needle), line);
    for (const needle_finder& f : production)
        FUZZ_CHECK(has_kv(line, f) == has_kv_reference(line, f.needle), line);
    return 0;
}
