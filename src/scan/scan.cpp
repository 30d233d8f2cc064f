#include "scan.h"

#include "claude_rules.h"
#include "codex_rules.h"
#include "line_parser.h"

namespace sr {

namespace {

template <class Rules, class LineFn>
bool scan_lines(file_lines& file, const Rules& rules, LineFn on_line, row_list& rows) {
    line_parser parser;
    std::string_view line;
    while (next_line(file, line)) {
        if (!line.empty()) on_line(rules, parser, line, rows);
    }
    return file.read_errno == 0;
}

}  // namespace

scan_result run(std::string_view kind, const std::string& path, bool include_tools) {
    scan_result result;
    file_lines file;
    if (!open_lines(file, path, result.error)) return result;
    bool read_all = kind == "codex"
                        ? scan_lines(file, make_codex_rules(include_tools), codex_line, result.rows)
                        : scan_lines(file, make_claude_rules(include_tools), claude_line, result.rows);
    if (!read_all) {
        // A read that fails part-way must not pass for a complete, shorter file.
        result.error = os_error(file.read_errno);
        result.rows = row_list();
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace sr
