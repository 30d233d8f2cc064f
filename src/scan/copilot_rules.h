// Rows from the lines of a GitHub Copilot CLI session log (~/.copilot/session-state/<session id>/events.jsonl).
#pragma once

#include <string_view>

#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct copilot_rules {
    rule_options options;
};

copilot_rules make_copilot_rules(const rule_options& options);

// Whether a line that outgrew the read buffer can still yield a row, judged from
// the part of it read so far.
bool copilot_line_worth_keeping(const copilot_rules& rules, std::string_view head);

// Reads one non-empty line; appends its rows, or keeps what it says for later.
void copilot_line(copilot_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows held back until the log's last word on them.
void copilot_finish(copilot_rules& rules, row_list& rows);

}  // namespace sr
