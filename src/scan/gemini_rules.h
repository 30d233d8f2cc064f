// Rows from the lines of a Gemini CLI session log
// (~/.gemini/tmp/<project>/chats/session-*.jsonl, a sub-agent's below chats/<parent id>/).
//
// The log is a record that its lines keep editing: a first line names the session
// ({"sessionId", "projectHash", "startTime", "kind"}); each message is a line
// ({"id", "timestamp", "type", "content", ...}) and is written again, whole, each
// time it changes (a reply gets its tool calls); {"$set": {...}} updates the
// session, and its "messages" restate the conversation (the context Gemini opens it
// with, the whole conversation on resume, what a compression keeps); {"$rewindTo":
// id} takes the conversation back to before that message. So no row is final before
// the last line: the rules hold every message's rows and hand them out at the end.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct gemini_message {
    std::string type;     // "user", "gemini", "info", "error", ...
    std::string rows;     // its rows, held until the end of the log, one after another (gemini_rules.cpp)
    bool rewound = false;
};

struct gemini_rules {
    rule_options options;
    std::vector<gemini_message> messages;           // in the order the log first names them
    std::unordered_map<std::string, size_t> by_id;  // the current conversation's messages by id
    size_t conversation_start = 0;  // where the current conversation's messages begin
    std::string session_id;         // the first session the log names
    std::string conversation_id;    // the session of the lines now being read
    std::string cwd;                // the first workspace directory the session context names
    std::string title;              // the last summary Gemini wrote of the session
    bool named = false;             // a first line (or a $set) has named the session
    bool subagent = false;          // the first line says "kind": "subagent"
    bool later_conversation = false;  // a first line of another session has come since
    // Buffers reused from message to message: an id to look up, the texts being
    // joined, a tool's output, a row's text being made, a message's rows being made.
    std::string key, said, thinking, output, scratch, pending;
};

gemini_rules make_gemini_rules(const rule_options& options);

// Whether a line that outgrew the read buffer can still yield a row, judged from
// the part of it read so far.
bool gemini_line_worth_keeping(const gemini_rules& rules, std::string_view head);

// The byte test: false for the lines that only say when the session was last
// updated ({"$set":{"lastUpdated":"..."}}), which are most of a log's lines.
bool gemini_worth_parsing(std::string_view line);

// Reads one non-empty line; keeps what it says for the end.
void gemini_line(gemini_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows of the session, its messages in order.
void gemini_finish(gemini_rules& rules, row_list& rows);

}  // namespace sr
