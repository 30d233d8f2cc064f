// Rows from the lines of a Pi session log (~/.pi/agent/sessions/--<cwd>--/*.jsonl).
#pragma once

#include <string_view>

#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct pi_rules {
    rule_options options;
};

pi_rules make_pi_rules(const rule_options& options);

// Whether a line that outgrew the read buffer can still yield a row, judged from
// the part of it read so far.
bool pi_line_worth_keeping(const pi_rules& rules, std::string_view head);

// Reads one non-empty line; appends its rows, or keeps what it says for later.
void pi_line(pi_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows held back until the log's last word on them.
void pi_finish(pi_rules& rules, row_list& rows);

}  // namespace sr
