// What the line rules make of a log. The defaults are the rows of `_core`: tool
// text and object text cut to their limits, flagged lines skipped, one row per
// line. The search reading turns the cuts and skips off and asks for the parts of
// a line as rows of their own (see search_row_kind).
#pragma once

namespace sr {

struct rule_options {
    bool include_tools = false;
    bool cut_texts = true;      // cut tool input, tool output and object text to their limits
    bool skip_flagged = true;   // Claude: skip isMeta, isCompactSummary, isVisibleInTranscriptOnly lines
    // The search reading: every part of a line (its text, each tool call, each tool
    // result) a row of its own with a kind; tool text readable rather than JSON;
    // rows that name the session (see session_rows); Codex lines judged whole
    // rather than by their first bytes; more line kinds (compact summaries, local
    // slash commands, shell and web calls).
    bool parts = false;
};

// The kind of a row of the parts reading (0 for the rows of `_core`).
enum row_kind : unsigned char {
    kind_text = 0,         // text of a message, as its role said it
    kind_context = 1,      // text the assistants inject (flagged lines, developer and system messages)
    kind_summary = 2,      // a compact summary of the conversation so far
    kind_tool_call = 3,    // a tool call: its source is "<name>\t<call id>"
    kind_tool_result = 4,  // a tool result: its source is "\t<call id>"
    kind_thinking = 5,     // what an assistant thought before it answered (reasoning, thoughts)
};

// Flags of the parts reading: the row belongs to a sub-agent's conversation; the
// row was taken back (the person rewound the conversation to before it, or went on
// from an earlier point, so that it is off the conversation the assistant shows).
constexpr unsigned char flag_subagent = 1;
constexpr unsigned char flag_rewound = 2;

// Special rows of the parts reading, which name the session rather than say
// anything; they never reach a person as rows.
//   "__session__"       text: the working directory; source: session id, TAB, agent id
//   "__title__"         text: a title Claude generated
//   "__custom_title__"  text: the name the person gave the session
//   "__meta__"          (Codex) text: the working directory; source: the session id

}  // namespace sr
