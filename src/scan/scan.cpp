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

template <class Rules, class LineFn>
bool scan_lines(file_lines& file, line_parser& parser, const Rules& rules, LineFn on_line, row_list& rows) {
    std::string_view line;
    while (next_line(file, line)) {
        if (!line.empty()) on_line(rules, parser, line, rows);
    }
    return file.read_errno == 0;
}

}  // namespace

scan_result run(std::string_view kind, const std::string& path, bool include_tools) {
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
    bool read_all = kind == "codex"
                        ? scan_lines(file, ws.parser, make_codex_rules(include_tools), codex_line, result.rows)
                        : scan_lines(file, ws.parser, make_claude_rules(include_tools), claude_line, result.rows);
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
