// Rows from the lines of a GitHub Copilot CLI session log
// (~/.copilot/session-state/<session id>/events.jsonl): one event a line,
// {"type", "data", "id", "timestamp", "parentId"}, with "agentId" on a sub-agent's
// events.
//
// An event may be written again (the same id, or an assistant message's id), and a
// message may come in chunks; a rewind names the events it takes back after them.
// So the rules hold every row until the end of the file: the first writing of an
// event fixes its place, a later one its text, and copilot_finish hands them on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

// A row held until the end of the file.
struct copilot_row {
    std::string role;
    std::string text;
    std::string timestamp;
    std::string source;                // joined by TABs, as add_row joins its parts
    std::vector<std::string> chunks;   // a message written in chunks: its text, chunk by chunk
    uint32_t line = 0;                 // the line it was first written on
    unsigned char kind = 0;
    unsigned char flags = 0;
    bool once = false;                 // a text repeated word for word (a system prompt) is one row
    bool keep_blank = false;           // a tool call or result is a row even without text
};

struct copilot_rules {
    rule_options options;
    std::vector<copilot_row> rows;
    std::unordered_map<std::string, uint32_t> slots;       // what a row is known by -> its index
    std::unordered_map<std::string, uint32_t> event_line;  // event id -> its line (the parts reading)
    std::vector<std::pair<uint32_t, uint32_t>> rewound;    // lines [first, end) a rewind took back
    uint32_t line = 0;                                     // non-empty lines seen so far
    bool named = false;                                    // the session's row has been made
};

copilot_rules make_copilot_rules(const rule_options& options);

// The byte test, judged from `head` alone: can the line yield a row? Lines of event
// kinds with no text for a person (usage, model and mode changes, turn marks) fail.
bool copilot_line_worth_keeping(const copilot_rules& rules, std::string_view head);

// Reads one non-empty line and keeps what it says for copilot_finish.
void copilot_line(copilot_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows held back, in the order they were first
// written.
void copilot_finish(copilot_rules& rules, row_list& rows);

}  // namespace sr
