// Rows from the lines of a Claude session log: user and assistant turns, and
// session titles.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "has_kv.h"
#include "line_parser.h"
#include "row.h"
#include "rule_options.h"

namespace sr {

struct claude_rules {
    needle_finder ai_title;
    needle_finder user;
    needle_finder assistant;
    needle_finder custom_title;  // the parts reading only
    needle_finder system;        // the parts reading only
    rule_options options;
    bool session_named = false;  // the parts reading: a "__session__" row has been made
    // The parts reading: the text of each call's input until its result comes (a
    // result's toolUseResult often repeats it; see tool_use_result.h).
    std::unordered_map<std::string, std::string> call_inputs;
};

claude_rules make_claude_rules(const rule_options& options);

// The byte test: does the line hold a "type" key whose value is one of the line
// kinds the rules read? Only such lines are parsed.
bool claude_prefilter(const claude_rules& rules, std::string_view line);

// Appends the rows of one non-empty line: at most one, unless the parts reading
// was asked for.
void claude_line(claude_rules& rules, line_parser& parser, std::string_view line, row_list& rows);

}  // namespace sr
