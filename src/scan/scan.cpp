#include "scan.h"

#include "claude_rules.h"
#include "codex_rules.h"
#include "line_parser.h"

namespace sr {

static_assert(line_padding <= read_padding, "the parser reads past the end of a line");

namespace {

// Memory that one thread reuses from scan to scan: the read buffer and the
// parsers' buffers. Most logs are a few hundred kilobytes, and fresh buffers for
// every file would cost more in page faults than parsing the file does. What a
// single very long line made grow is freed when its scan ends.
struct workspace {
    read_buffer buffer;
    line_parser parser;
};

workspace& thread_workspace() {
    static thread_local workspace ws;
    return ws;
}

// True if the text holds a byte below 0x20 other than tab and carriage return:
// JSON allows none outside strings (besides line feed, which ends a line) and none
// raw inside them, so no such line parses.
bool holds_control_byte(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 && c != '\t' && c != '\r') return true;
    return false;
}

// Whether a line that outgrew the read buffer can still yield a row, judged from
// what has been read of it: a Codex line only if its first bytes pass the Codex
// byte tests, and any line only if it can still parse.
bool claude_line_worth_keeping(const void*, std::string_view head) { return !holds_control_byte(head); }

bool codex_line_worth_keeping(const void* rules, std::string_view head) {
    return choose_rule(*static_cast<const codex_rules*>(rules), head) != line_rule::none &&
           !holds_control_byte(head);
}

template <class Rules, class LineFn>
bool scan_lines(file_lines& file, line_parser& parser, Rules& rules, LineFn on_line, row_list& rows) {
    std::string_view line;
    while (next_line(file, line)) {
        if (!line.empty()) on_line(rules, parser, line, rows);
    }
    return file.read_errno == 0;
}

}  // namespace

scan_result run(std::string_view kind, const std::string& path, bool include_tools) {
    rule_options options;
    options.include_tools = include_tools;
    return run(kind, path, options);
}

scan_result run(std::string_view kind, const std::string& path, const rule_options& options) {
    workspace& ws = thread_workspace();
    struct tidy_up {
        workspace& ws;
        ~tidy_up() {
            end_scan(ws.parser);
            trim(ws.buffer);
        }
    } tidy{ws};
    scan_result result;
    file_lines file(ws.buffer);
    if (!open_lines(file, path, result.error)) return result;
    ws.parser.input_padded = true;  // the reader keeps read_padding bytes after every line
    bool read_all;
    if (kind == "codex") {
        const codex_rules rules = make_codex_rules(options);
        file.worth_keeping = codex_line_worth_keeping;
        file.context = &rules;
        read_all = scan_lines(file, ws.parser, rules, codex_line, result.rows);
    } else {
        file.worth_keeping = claude_line_worth_keeping;
        claude_rules rules = make_claude_rules(options);
        read_all = scan_lines(file, ws.parser, rules, claude_line, result.rows);
    }
    if (!read_all) {
        // A read that fails part-way must not pass for a complete, shorter file.
        result.error = os_error(file.read_errno);
        result.rows = row_list();  // releases what was read
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace sr
