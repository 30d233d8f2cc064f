// Whole-file scan: the input bytes become a session log on tmpfs, and run() reads it
// with both rule sets and both include_tools values through the production path
// (open, measure, chunked read, line split, prefilter, parse, rules, renderers).
//
// Checks: the scan never fails on content; every row text is valid UTF-8 (the
// module turns each into a Python str); a Claude or Codex line yields at most one row; rows made
// without tools reappear, in order, with tools (Codex: unchanged; Claude: as a
// prefix of the text); no tool rows without include_tools.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "scratch_log.h"
#include "scan/scan.h"

namespace {

size_t non_empty_lines(std::string_view s) {
    size_t n = 0, start = 0;
    for (;;) {
        size_t nl = s.find('\n', start);
        size_t end = nl == std::string_view::npos ? s.size() : nl;
        n += end > start;
        if (nl == std::string_view::npos) return n;
        start = nl + 1;
    }
}

void check_rows(const sr::scan_result& r, size_t max_rows, bool codex, bool tools) {
    FUZZ_CHECK(r.ok, r.error.message);
    FUZZ_CHECK(sr::size(r.rows) <= max_rows);
    sr::for_each_row(r.rows, [&](sr::row_view row) {
        FUZZ_CHECK(fuzz::valid_utf8(row.role), row.role);
        FUZZ_CHECK(fuzz::valid_utf8(row.text), row.text);
        FUZZ_CHECK(fuzz::valid_utf8(row.timestamp), row.timestamp);
        FUZZ_CHECK(fuzz::valid_utf8(row.source), row.source);
        // Tool rows carry the source "tool". (The role "tool" proves nothing: a
        // message payload may name any role, and a meta row's source is the
        // session id, which may be any text.)
        if (codex && !tools) FUZZ_CHECK(row.source != "tool" || row.role == "__meta__", row.text);
    });
}

bool same_row(const sr::row_view& plain, const sr::row_view& with_tools, bool codex) {
    if (plain.role != with_tools.role || plain.timestamp != with_tools.timestamp ||
        plain.source != with_tools.source)
        return false;
    if (codex) return plain.text == with_tools.text;
    return with_tools.text.substr(0, plain.text.size()) == plain.text;
}

// Every row made without tools has its counterpart, in the same order, among the
// rows made with tools.
void check_tools_add_only(const sr::row_list& plain, const sr::row_list& with_tools, bool codex) {
    std::vector<sr::row_view> more;
    sr::for_each_row(with_tools, [&](sr::row_view row) { more.push_back(row); });
    size_t j = 0;
    sr::for_each_row(plain, [&](sr::row_view row) {
        while (j < more.size() && !same_row(row, more[j], codex)) ++j;
        FUZZ_CHECK(j < more.size(), row.text);
        ++j;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzz::write_scratch_log("scan", data, size);
    size_t lines = non_empty_lines({reinterpret_cast<const char*>(data), size});
    for (bool codex : {false, true}) {
        sr::log_kind kind = codex ? sr::log_kind::codex : sr::log_kind::claude;
        sr::scan_result plain = sr::run(kind, path, false);
        sr::scan_result with_tools = sr::run(kind, path, true);
        check_rows(plain, lines, codex, false);
        check_rows(with_tools, lines, codex, true);
        check_tools_add_only(plain.rows, with_tools.rows, codex);
    }
    // The other assistants' rows: tool rows are rows of their own, as Codex's are. A
    // line may give several rows (a message with its tool calls and results, a Gemini
    // $set restating a whole conversation).
    for (sr::log_kind kind : {sr::log_kind::gemini, sr::log_kind::copilot, sr::log_kind::pi}) {
        sr::scan_result plain = sr::run(kind, path, false);
        sr::scan_result with_tools = sr::run(kind, path, true);
        bool pi = kind == sr::log_kind::pi;  // its tool rows carry the source "tool", as Codex's do
        check_rows(plain, SIZE_MAX, pi, false);
        check_rows(with_tools, SIZE_MAX, pi, true);
        check_tools_add_only(plain.rows, with_tools.rows, true);
    }
    return 0;
}
