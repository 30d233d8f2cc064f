// Rows from the lines of a Codex session log: session meta, messages from response
// items and events, and (with include_tools) tool calls and their outputs.
//
// Codex logs come in two layouts. Since September 2025 every line is an envelope,
// {"timestamp", "type": "session_meta" | "response_item" | "event_msg" |
// "turn_context" | "compacted", "payload"}. Before, the first line was the session's
// header, {"id", "timestamp", "instructions", ...} with no type, and each further
// line a bare response item ({"type": "message" | "reasoning" | "function_call" |
// ..., ...}, no time stamp of its own) or a {"record_type": "state"} line. The rows
// of `_core` know only the envelopes; the parts reading reads both.
#pragma once

#include <string>
#include <string_view>

#include "has_kv.h"
#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

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
    needle_finder compacted;      // "type": "compacted" (the parts reading only)
    needle_finder turn_context;   // "type": "turn_context" (the parts reading only)
    needle_finder agent_reasoning;  // plain substring (the parts reading only)
    rule_options options;
    // What the parts reading knows of the session so far: its time (the header's
    // or session_meta's), which rows without a time stamp of their own take, and
    // whether a working directory has been named.
    std::string session_time;
    bool cwd_known = false;
};

codex_rules make_codex_rules(const rule_options& options);

// Which rule a line goes to, judged from its first codex_window bytes alone (the
// parts reading judges response items by their payload once parsed). The header
// and bare items of the older layout go to the parts reading only.
enum class line_rule { none, session_meta, response_item, event, compacted, legacy_header, bare_item };
line_rule choose_rule(const codex_rules& rules, std::string_view line);

// Appends the row of one non-empty line, if it yields one.
void codex_line(codex_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

}  // namespace sr
