// Rows from the lines of a Claude session log: user and assistant turns, and
// session titles.
#pragma once

#include <string_view>

#include "has_kv.h"
#include "line_parser.h"
#include "row.h"

namespace sr {

struct claude_rules {
    needle_finder ai_title;
    needle_finder user;
    needle_finder assistant;
    bool include_tools = false;
};

claude_rules make_claude_rules(bool include_tools);

// The byte test: does the line hold a "type" key whose value is one of the three
// line kinds? Only such lines are parsed.
bool claude_prefilter(const claude_rules& rules, std::string_view line);

// Appends at most one row for one non-empty line.
void claude_line(const claude_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

}  // namespace sr
