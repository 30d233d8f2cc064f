#include "scan.h"

#include <type_traits>

#include "claude_rules.h"
#include "codex_rules.h"
#include "copilot_rules.h"
#include "gemini_rules.h"
#include "line_parser.h"
#include "pi_rules.h"

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

// Each kind's rules behind one shape: the line rule, what is done at the end of
// the file, and whether a line that outgrew the read buffer can still yield a row,
// judged from what has been read of it (a Codex line only if its first bytes pass
// the Codex byte tests, and any line only if it can still parse).
void finish(claude_rules&, row_list&) {}
void finish(codex_rules&, row_list&) {}
void finish(gemini_rules& r, row_list& rows) { gemini_finish(r, rows); }
void finish(copilot_rules& r, row_list& rows) { copilot_finish(r, rows); }
void finish(pi_rules& r, row_list& rows) { pi_finish(r, rows); }

void on_line(claude_rules& r, line_parser& p, std::string_view line, row_list& rows) { claude_line(r, p, line, rows); }
void on_line(codex_rules& r, line_parser& p, std::string_view line, row_list& rows) {
    codex_line(r, p, line, rows);
}
void on_line(gemini_rules& r, line_parser& p, std::string_view line, row_list& rows) { gemini_line(r, p, line, rows); }
void on_line(copilot_rules& r, line_parser& p, std::string_view line, row_list& rows) {
    copilot_line(r, p, line, rows);
}
void on_line(pi_rules& r, line_parser& p, std::string_view line, row_list& rows) { pi_line(r, p, line, rows); }

bool worth_keeping(const claude_rules&, std::string_view) { return true; }
bool worth_keeping(const codex_rules& r, std::string_view head) { return choose_rule(r, head) != line_rule::none; }
bool worth_keeping(const gemini_rules& r, std::string_view head) { return gemini_line_worth_keeping(r, head); }
bool worth_keeping(const copilot_rules& r, std::string_view head) { return copilot_line_worth_keeping(r, head); }
bool worth_keeping(const pi_rules& r, std::string_view head) { return pi_line_worth_keeping(r, head); }

template <class Rules>
bool keep_long_line(const void* rules, std::string_view head) {
    return worth_keeping(*static_cast<const Rules*>(rules), head) && !holds_control_byte(head);
}

template <class Rules>
bool scan_lines(file_lines& file, line_parser& parser, Rules&& rules, row_list& rows) {
    using plain = std::remove_cv_t<std::remove_reference_t<Rules>>;
    file.worth_keeping = keep_long_line<plain>;
    file.context = &rules;
    std::string_view line;
    while (next_line(file, line)) {
        if (!line.empty()) on_line(rules, parser, line, rows);
    }
    if (file.read_errno != 0) return false;
    finish(rules, rows);
    return true;
}

}  // namespace

scan_result run(log_kind kind, const std::string& path, bool include_tools) {
    rule_options options;
    options.include_tools = include_tools;
    return run(kind, path, options);
}

scan_result run(log_kind kind, const std::string& path, const rule_options& options, const scan_io* io) {
    workspace& ws = thread_workspace();
    struct tidy_up {
        workspace& ws;
        ~tidy_up() {
            end_scan(ws.parser);
            std::string().swap(ws.parser.repaired);
            trim(ws.buffer);
        }
    } tidy{ws};
    scan_result result;
    file_lines file(ws.buffer);
    if (io) {
        file.tap = io->tap;
        file.source = io->source;
    }
    if (!open_lines(file, path, result.error)) return result;
    ws.parser.input_padded = true;  // the reader keeps read_padding bytes after every line
    ws.parser.replace_invalid_utf8 = options.parts;
    bool read_all = false;
    switch (kind) {
        case log_kind::codex: read_all = scan_lines(file, ws.parser, make_codex_rules(options), result.rows); break;
        case log_kind::gemini: read_all = scan_lines(file, ws.parser, make_gemini_rules(options), result.rows); break;
        case log_kind::copilot:
            read_all = scan_lines(file, ws.parser, make_copilot_rules(options), result.rows);
            break;
        case log_kind::pi: read_all = scan_lines(file, ws.parser, make_pi_rules(options), result.rows); break;
        case log_kind::claude: read_all = scan_lines(file, ws.parser, make_claude_rules(options), result.rows); break;
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
