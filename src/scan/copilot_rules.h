// Rows from the lines of a GitHub Copilot CLI session log
// (~/.copilot/session-state/<session id>/events.jsonl): one event a line,
// {"type", "data", "id", "timestamp", "parentId"}, with "agentId" on a sub-agent's
// events.
//
// Rows go to the list as their lines are read. An event may be written again (the
// same id, or an assistant message's id), a message may come in chunks, and a rewind
// names the events it takes back: the first writing of a row fixes its place, a
// later one its text, and copilot_finish puts those few changes into the list.
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

// A row's later writing, held until the end of the file.
struct copilot_rewrite {
    std::string role, text, timestamp, source;
    uint32_t line = 0;     // the line the row was first written on
    unsigned char kind = 0;
    unsigned char flags = 0;
    bool dropped = false;  // the later writing has no text: no row
};

// A message written in chunks: its row, and the chunks, joined at the end of the file.
struct copilot_chunks {
    copilot_rewrite row;
    std::vector<std::string> parts;
};

// What a row is known by (an event, a message, a tool call) and where it stands.
struct copilot_slot {
    int64_t row = -1;     // its index in the list, or -1 while it has had no text
    int64_t late = -1;    // else its entry in copilot_rules::late, once it has text
    uint32_t before = 0;  // the rows in the list when it was first written: its place if it gets text later
    uint32_t line = 0;    // the line it was first written on
};

struct copilot_rules {
    rule_options options;
    std::unordered_map<std::string, uint32_t> keys;         // what a row is known by -> its slot
    std::vector<copilot_slot> slots;
    std::vector<uint32_t> row_line;                         // the line each row of the list came from
    std::unordered_map<uint32_t, copilot_chunks> chunks;    // slot -> a message written in chunks
    std::unordered_map<int64_t, copilot_rewrite> rewrites;  // row -> its later writing
    std::vector<std::pair<uint64_t, copilot_rewrite>> late; // rows whose text came later: (place, slot) and row
    std::unordered_map<size_t, std::vector<std::string_view>> said;  // texts said once, by length (views into the list)
    std::unordered_map<std::string, uint32_t> event_line;   // event id -> its line (the parts reading)
    std::vector<std::pair<uint32_t, uint32_t>> rewound;     // lines [first, end) a rewind took back
    std::string scratch;                                    // a text being put together
    uint32_t line = 0;                                      // non-empty lines seen so far
    bool named = false;                                     // the session's row has been made
};

copilot_rules make_copilot_rules(const rule_options& options);

// The byte test, judged from `head` alone: can the line yield a row? Lines of event
// kinds with no text for a person (usage, model and mode changes, turn marks) fail.
bool copilot_line_worth_keeping(const copilot_rules& rules, std::string_view head);

// Reads one non-empty line: appends its rows, or keeps what changes earlier ones.
void copilot_line(copilot_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: puts the later writings, late rows and rewinds into the
// list (the rows are read again only if there are any).
void copilot_finish(copilot_rules& rules, row_list& rows);

}  // namespace sr
