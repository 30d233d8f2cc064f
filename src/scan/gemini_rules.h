// Rows from the lines of a Gemini CLI session log (~/.gemini/tmp/<project>/chats/session-*.jsonl).
#pragma once

#include <string_view>

#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct gemini_rules {
    rule_options options;
};

gemini_rules make_gemini_rules(const rule_options& options);

// Whether a line that outgrew the read buffer can still yield a row, judged from
// the part of it read so far.
bool gemini_line_worth_keeping(const gemini_rules& rules, std::string_view head);

// Reads one non-empty line; appends its rows, or keeps what it says for later.
void gemini_line(gemini_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows held back until the log's last word on them.
void gemini_finish(gemini_rules& rules, row_list& rows);

}  // namespace sr
