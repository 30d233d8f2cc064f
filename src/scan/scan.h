// The per-file scan: open a session log, walk its lines, and turn them into rows by
// the rules of its kind. Touches no Python object; safe on any thread.
#pragma once

#include <string>
#include <string_view>

#include "file_lines.h"
#include "log_kind.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct scan_result {
    bool ok = false;
    row_list rows;       // when ok: every row of the file, in line order
    error_value error;   // when not ok
};

// Nothing in a file's content is an error: only failing to open, measure or read
// the file is. May throw std::bad_alloc.
// `io`, if given, adds a reader of the bytes or reads them from elsewhere.
scan_result run(log_kind kind, const std::string& path, const rule_options& options, const scan_io* io = nullptr);

// The default options with or without tool text (the rows of `_core` for Claude
// and Codex logs).
scan_result run(log_kind kind, const std::string& path, bool include_tools);

// `_core`'s calls: exactly "codex" selects the Codex rules; every other kind the
// Claude rules (see core_kind).
inline scan_result run(std::string_view kind, const std::string& path, bool include_tools) {
    return run(core_kind(kind), path, include_tools);
}

}  // namespace sr
