// Rows from the lines of a Pi session log (~/.pi/agent/sessions/--<cwd>--/*.jsonl).
//
// A log is a "session" header and then entries, each with an "id" and the
// "parentId" of the entry it follows: a tree, since going back to an earlier point
// and going on from there starts a new branch in the same file. The conversation
// Pi shows is the path from the last entry back to the root; the rows of entries
// off that path are flagged rewound (the parts reading). An entry written twice
// (same id, same kind) is one entry: the later one replaces it. Since both take the log's
// last word, the rows are held until the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "has_kv.h"
#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

// One entry of the tree, by its place among the log's entries.
struct pi_entry {
    static constexpr uint32_t none = UINT32_MAX;         // no such entry
    static constexpr uint32_t root = UINT32_MAX;         // parent: "parentId": null
    static constexpr uint32_t unknown = UINT32_MAX - 1;  // parent: absent, or not written before this entry
    uint32_t parent = unknown;
    uint32_t replaced_by = none;  // a later entry with the same id
};

struct pi_rules {
    rule_options options;
    needle_finder message;  // "message", quoted
    needle_finder session;  // "session", quoted
    needle_finder role;     // "role", quoted
    row_list held;                              // every row so far, in line order
    std::vector<uint32_t> row_entry;            // per held row: its entry, or pi_entry::none
    std::vector<pi_entry> entries;
    std::vector<uint32_t> segment_starts;       // a header starts a tree of its own
    std::unordered_map<std::string, uint32_t> ids;       // id -> latest entry, in the current tree
    std::unordered_map<std::string, uint32_t> versions;  // id NUL kind -> latest entry, in the current tree
    bool session_named = false;  // the parts reading: a "__session__" row is held
    bool has_name = false;       // a session_info entry was read
    std::string name;            // the name of the latest one
};

pi_rules make_pi_rules(const rule_options& options);

// The byte test: could the line be an entry the rules want? Only such lines are
// parsed. The default reading wants the header and messages (tool results only
// with include_tools); the parts reading every entry, since each is a node of the
// tree.
bool pi_prefilter(const pi_rules& rules, std::string_view line);

// Whether a line that outgrew the read buffer can still yield a row, judged from
// the part of it read so far.
bool pi_line_worth_keeping(const pi_rules& rules, std::string_view head);

// Reads one non-empty line; holds its rows until pi_finish.
void pi_line(pi_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

// At the end of the file: appends the rows held, without the replaced entries'
// rows and, in the parts reading, with the rows off the shown branch flagged.
void pi_finish(pi_rules& rules, row_list& rows);

}  // namespace sr
