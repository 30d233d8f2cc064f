// Rows from the lines of a Codex session log: session meta, messages from response
// items and events, and (with include_tools) tool calls and their outputs.
#pragma once

#include <string_view>

#include "has_kv.h"
#include "line_parser.h"
#include "row.h"

namespace sr {

// Only this many leading bytes of a line are looked at before it is parsed.
constexpr size_t codex_window = 240;

struct codex_rules {
    needle_finder response_item;  // "type": "response_item"
    needle_finder event_msg;      // "type": "event_msg"
    needle_finder session_meta;   // "type": "session_meta"
    needle_finder message;        // "type": "message"
    needle_finder user_message;   // plain substring
    needle_finder agent_message;  // plain substring
    needle_finder call;           // plain substring "_call"
    bool include_tools = false;
};

codex_rules make_codex_rules(bool include_tools);

// Which rule a line goes to, judged from its first codex_window bytes alone.
enum class line_rule { none, session_meta, response_item, event };
line_rule choose_rule(const codex_rules& rules, std::string_view line);

// Appends at most one row for one non-empty line.
void codex_line(const codex_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

}  // namespace sr
